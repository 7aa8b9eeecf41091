// The session's operations on a whole folder, the current one or one below
// it: a small file placed there under its name at once, and its files with
// what the server says of them. Both name the folder from the server's root
// where the server named its login folder so: no CWD there and back.
#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/CurlFtpClient.h"
#include "platform/FtpListing.h"
#include "platform/FtpReplies.h"

namespace adv::platform {
namespace {

FtpResult failure(FtpFailure kind, std::string detail)
{
    return {kind, 0, std::move(detail), {}};
}

// Bytes of a listing allowed for each file it may hold: a line of LIST or
// MLSD with a long name, and room for folders and links beside them.
constexpr std::int64_t kListedBytes = 256;

// Replies that say the server does not know the command at all, or not in
// this form: it may know another.
bool unknownCommand(long reply)
{
    return reply == 500 || reply == 501 || reply == 502 || reply == 504;
}

}  // namespace

FtpResult CurlFtpClient::placeOf(const std::string& folder, Place& place) const
{
    if (FtpResult open = requests_.ready(); !open)
        return open;
    if (!folder.empty() && (!isRemoteName(folder) || folder.find("..") != std::string::npos))
        return failure(FtpFailure::Setting, "invalid remote folder name '" + folder + "'");
    const auto escape = [this](std::string_view name) { return requests_.escape(name); };
    place.fromRoot = !folderFromRoot_.empty();
    if (place.fromRoot) {
        place.url = serverUrl(host_, options_) + remotePath(folderFromRoot_, folder, escape);
        place.prefix = serverPath(folderFromRoot_, folder);
    } else {
        place.url = folderUrl() + (folder.empty() ? std::string() : escape(folder) + "/");
        place.prefix.clear();
    }
    return {};
}

FtpResult CurlFtpClient::PlaceFile(const std::string& folder, const std::string& name, std::string_view bytes)
{
    Place place;
    if (FtpResult named = usable(name); !named)
        return named;
    if (FtpResult found = placeOf(folder, place); !found)
        return found;
    // Stored whole under a name no reader takes, then renamed in one step:
    // a reader finds the old file or the new one, never half of one.
    const std::string part = "." + name + ".part";
    const std::string what = "cannot place '" + name + "' in '" + folder + "'";
    const auto size = static_cast<std::int64_t>(bytes.size());
    RequestOutcome put = requests_.run({.kind = RequestKind::Store,
                                        .url = place.url + requests_.escape(part),
                                        .what = what,
                                        .lines = {"RNFR " + place.prefix + part, "RNTO " + place.prefix + name},
                                        .source = bytes,
                                        .announced = size,
                                        .fromRoot = place.fromRoot});
    if (put.result && put.moved != size)
        return failure(FtpFailure::Size,
                       what + ": sent " + std::to_string(put.moved) + " of " + std::to_string(size) + " bytes");
    if (put.result)
        return put.result;
    // The server took the file and the name to rename, and refused the new
    // name: one in use, to a server that will not rename onto it.
    const std::vector<std::string>& replies = put.replies;
    if (put.lineRefused && replies.size() >= 2 && replyCode(replies[replies.size() - 2]) == 350 &&
        replyCode(replies.back()) >= 500)
        return placeOver(place, part, name);
    // The server's own "no" to the file or its name; a session lost or a
    // transfer too slow stays what it is.
    if (put.lineRefused || (put.result.failure == FtpFailure::Transfer && put.result.reply >= 500))
        put.result.failure = FtpFailure::Refused;
    return put.result;
}

FtpResult CurlFtpClient::placeOver(const Place& place, const std::string& part, const std::string& name)
{
    const std::string target = place.prefix + name;
    RequestOutcome again = requests_.run({.kind = RequestKind::Command,
                                          .url = place.url,
                                          .what = "cannot place '" + name + "' where a file of that name was",
                                          .failsAs = FtpFailure::Connection,
                                          .lines = {"DELE " + target, "RNFR " + place.prefix + part, "RNTO " + target},
                                          .fromRoot = place.fromRoot});
    return again.result;
}

FtpResult CurlFtpClient::ListFacts(const std::string& folder, std::vector<Listed>& entries, std::size_t maxEntries)
{
    Place place;
    if (FtpResult found = placeOf(folder, place); !found)
        return found;
    entries.clear();
    // A bound the caller cannot overflow, far above any folder's.
    const auto most = static_cast<std::int64_t>(std::min<std::size_t>(maxEntries, std::size_t{1} << 30));
    const std::int64_t allowed = std::min(options_.maxDownloadBytes, (most + 1) * kListedBytes);
    const std::string what = "cannot list the files of '" + (folder.empty() ? std::string(".") : folder) + "'";
    for (;;) {
        // MLSD until the server says it does not know it; then LIST, for the
        // rest of the session.
        const bool facts = listsFacts_.value_or(true);
        MemorySink listing(static_cast<std::size_t>(allowed));
        RequestOutcome listed = requests_.run(
            {.kind = RequestKind::List,
             .url = place.url,
             .what = what,
             .sink = &listing,
             .limit = allowed,
             .overLimit = "the listing is longer than " + std::to_string(maxEntries) + " files' worth of lines",
             .listCommand = facts ? "MLSD" : "LIST",
             .fromRoot = place.fromRoot});
        if (!listed.result && facts && !listsFacts_ && unknownCommand(listed.result.reply)) {
            listsFacts_ = false;
            continue;
        }
        if (!listed.result && listed.result.reply >= 400 && listed.result.reply != 421 &&
            listed.result.failure == FtpFailure::Transfer)
            listed.result.failure = FtpFailure::Folder;
        if (!listed.result)
            return listed.result;
        listsFacts_ = facts;
        entries = listedFiles(listing.contents(), facts);
        if (entries.size() <= maxEntries)
            return {};
        entries.resize(maxEntries);
        return failure(FtpFailure::Size, what + ": more than " + std::to_string(maxEntries) + " files");
    }
}

}  // namespace adv::platform
