// The FTP session over libcurl: each operation is one or more requests of
// CurlRequests on the connection OpenSession logged in with; this file
// decides which, checks the names they carry, and when a download is the
// whole file.
#include "platform/CurlFtpClient.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/CurlRequests.h"
#include "platform/CurlSetup.h"
#include "platform/FtpReplies.h"

namespace adv::platform {
namespace {

FtpResult failure(FtpFailure kind, std::string detail)
{
    return {kind, 0, std::move(detail), {}};
}

std::string tooLarge(std::int64_t limit, std::int64_t capacity)
{
    return "the file is larger than the " + std::to_string(limit) +
           (limit < capacity ? " bytes allowed (max_download_mb)" : " bytes allowed");
}

}  // namespace

FtpResult CurlFtpClient::usable(const std::string& name, std::string_view noun) const
{
    if (FtpResult open = requests_.ready(); !open)
        return open;
    if (!isRemoteName(name))
        return failure(FtpFailure::Setting, "invalid remote " + std::string(noun) + " name '" + name + "'");
    return {};
}

FtpResult CurlFtpClient::OpenSession()
{
    // Every open starts from fresh handles with the settings as they are
    // now; dropping the old ones ends any session still open on them.
    CloseSession();
    if (FtpResult checked = checkSettings(host_, user_, password_, options_); !checked)
        return checked;
    if (!requests_.open(host_, user_, password_, stores_))
        return failure(FtpFailure::Setting, "cannot set up the FTP connection (libcurl)");
    // Logging in without transferring anything: the connection stays in the
    // multi handle and the next requests reuse it.
    FtpResult opened = requests_
                           .run({.kind = RequestKind::Command,
                                 .url = serverUrl(host_, options_),
                                 .what = "cannot open a session with " + host_ + ":" + std::to_string(options_.port),
                                 .failsAs = FtpFailure::Connection})
                           .result;
    if (!opened)
        CloseSession();
    entryPath_ = requests_.entryPath();
    folderFromRoot_ = serverPath(entryPath_, {});
    return opened;
}

FtpResult CurlFtpClient::EnterRemoteFolder(const std::string& folder)
{
    if (FtpResult open = requests_.ready(); !open)
        return open;
    if (holdsLineBreak(folder))
        return failure(FtpFailure::Setting, "the remote folder's name holds a line break");

    const std::string path =
        remotePath(entryPath_, folder, [this](std::string_view name) { return requests_.escape(name); });
    FtpResult entered = requests_
                            .run({.kind = RequestKind::Command,
                                  .url = serverUrl(host_, options_) + path,
                                  .what = "cannot enter the remote folder '" + folder + "'",
                                  .failsAs = FtpFailure::Folder})
                            .result;
    if (entered) {
        folderPath_ = path;
        folderFromRoot_ = serverPath(entryPath_, folder);
    }
    return entered;
}

CurlFtpClient::Asked CurlFtpClient::askAbout(const std::string& name)
{
    const std::string what = "cannot ask the server about '" + name + "'";
    RequestOutcome asked = command({"*SIZE " + name, "*MDTM " + name}, what, FtpFailure::Transfer);
    if (!asked.result)
        return {asked.result};
    std::string size = !asked.replies.empty() ? asked.replies[0] : std::string();
    const std::string time = asked.replies.size() > 1 ? asked.replies[1] : std::string();
    // vsftpd and Pure-FTPd give a file's own size in ASCII mode, which a
    // session starts in; ProFTPD (and pyftpdlib) answer 550 rather than give
    // another. Only then is binary mode asked for.
    if (replyCode(size) == 550 && !requests_.binary() && replyCode(time) != 550) {
        asked = command({"TYPE I", "*SIZE " + name}, what, FtpFailure::Transfer);
        if (!asked.result)
            return {asked.result};
        size = asked.replies.size() > 1 ? asked.replies[1] : std::string();
    }
    if (replyCode(size) == 550)
        return {requests_.finish({FtpFailure::RemoteFile, 550, what + ": the server has no such file", {}})};
    return {{}, sizeOf(size).value_or(-1), timeOf(time).value_or(-1)};
}

FtpResult CurlFtpClient::FetchFile(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress)
{
    if (FtpResult named = usable(remoteName); !named)
        return named;
    const std::int64_t held = sink.heldAlready();
    if (held != 0 && (!sink.checksWhole() || held < 0 || held >= sink.capacity()))
        return failure(FtpFailure::Setting, "cannot download '" + remoteName + "': its sink holds " +
                                                std::to_string(held) +
                                                " bytes of it; only one that checks the whole file, and takes more, "
                                                "can go on from there");
    return sink.checksWhole() ? fetchForSink(remoteName, sink, progress) : fetchChecked(remoteName, sink, progress);
}

FtpResult CurlFtpClient::fetchForSink(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress)
{
    // The sink checks what arrives against the size and hash it trusts: the
    // server is not asked the size, nor again after, and the sink's capacity
    // bounds the transfer. It starts where the bytes the sink holds end.
    const std::int64_t held = sink.heldAlready();
    const std::int64_t capacity = sink.capacity();
    const std::string what = "cannot download '" + remoteName + "'";
    std::vector<std::string> restart;
    if (held > 0)
        restart.push_back("REST " + std::to_string(held));
    const RequestOutcome got = requests_.run({.kind = RequestKind::Retrieve,
                                              .url = fileUrl(remoteName),
                                              .what = what,
                                              .lines = std::move(restart),
                                              .sink = &sink,
                                              .progress = &progress,
                                              .announced = capacity < INT64_MAX ? capacity : -1,
                                              .limit = capacity - held,
                                              .overLimit = tooLarge(capacity, capacity),
                                              .from = held});
    if (!got.result)
        return got.result;
    if (got.moved == 0 && held > 0)
        return failure(FtpFailure::Resume, what + ": nothing came after byte " + std::to_string(held) +
                                               ", as if the file were shorter now; it must be fetched again from "
                                               "its start");
    if (got.moved == 0)
        return failure(FtpFailure::Size, what + ": the server sent an empty file");
    return {};
}

FtpResult CurlFtpClient::fetchChecked(const std::string& remoteName, FtpSink& sink, const FtpProgress& progress)
{
    const std::string url = fileUrl(remoteName);
    const std::string what = "cannot download '" + remoteName + "'";

    // The size the server gives is asked before and after the transfer and
    // compared with what arrived: libcurl is told to ignore the sizes it
    // sees, so that it reads the data connection to its end rather than stop
    // where a lying or outdated number says.
    const FtpDownloadPolicy& policy = options_.download;
    const Asked before = askAbout(remoteName);
    if (!before.result)
        return before.result;
    const Clock::time_point recheck = Clock::now() + policy.recheckAfter;
    if (before.size < 0 && !policy.allowUnknownSize)
        return requests_.finish(
            failure(FtpFailure::Size, "the server does not give the size of '" + remoteName +
                                          "', so a cut download could not be told from a whole one"));
    const std::int64_t capacity = sink.capacity();
    if (before.size > capacity)
        return failure(FtpFailure::Size, what + ": " + tooLarge(capacity, capacity));
    const std::int64_t limit = before.size >= 0 ? before.size : std::min(options_.maxDownloadBytes, capacity);

    const RequestOutcome got =
        requests_.run({.kind = RequestKind::Retrieve,
                       .url = url,
                       .what = what,
                       .sink = &sink,
                       .progress = &progress,
                       .announced = before.size,
                       .limit = limit,
                       .overLimit = before.size >= 0 ? "the server sent more than the " + std::to_string(before.size) +
                                                           " bytes it gives as the file's size"
                                                     : tooLarge(limit, capacity)});
    if (!got.result)
        return got.result;
    if (got.moved == 0)
        return failure(FtpFailure::Size, what + ": the server sent an empty file");
    if (before.size >= 0 && got.moved != before.size)
        return failure(FtpFailure::Size, what + ": received " + std::to_string(got.moved) + " of " +
                                             std::to_string(before.size) + " bytes");
    if (FtpResult waited = waitUntil(recheck, remoteName); !waited)
        return waited;
    const Asked after = askAbout(remoteName);
    if (!after.result)
        return after.result;
    if (after.size != before.size || after.mtime != before.mtime)
        return failure(FtpFailure::Size, "'" + remoteName + "' changed on the server during the download (" +
                                             std::to_string(before.size) + " bytes before, " +
                                             std::to_string(after.size) +
                                             " after): it may still be uploading; try again later");
    return {};
}

FtpResult CurlFtpClient::PutFile(const std::string& remoteName, std::string_view bytes, const FtpProgress& progress)
{
    if (FtpResult named = usable(remoteName); !named)
        return named;
    const auto size = static_cast<std::int64_t>(bytes.size());
    const RequestOutcome put = requests_.run({.kind = RequestKind::Store,
                                              .url = fileUrl(remoteName),
                                              .what = "cannot upload '" + remoteName + "'",
                                              .source = bytes,
                                              .progress = &progress,
                                              .announced = size});
    if (put.result && put.moved != size)
        return failure(FtpFailure::Size, "cannot upload '" + remoteName + "': sent " + std::to_string(put.moved) +
                                             " of " + std::to_string(size) + " bytes");
    return put.result;
}

RequestOutcome CurlFtpClient::command(std::vector<std::string> lines, const std::string& what, FtpFailure failsAs)
{
    return requests_.run({.kind = RequestKind::Command,
                          .url = folderUrl(),
                          .what = what,
                          .failsAs = failsAs,
                          .lines = std::move(lines)});
}

FtpResult CurlFtpClient::Rename(const std::string& from, const std::string& to)
{
    if (FtpResult named = usable(from); !named)
        return named;
    if (FtpResult named = usable(to); !named)
        return named;
    return command({"RNFR " + from, "RNTO " + to}, "cannot rename '" + from + "' to '" + to + "'").result;
}

FtpResult CurlFtpClient::Delete(const std::string& remoteName)
{
    if (FtpResult named = usable(remoteName); !named)
        return named;
    return command({"DELE " + remoteName}, "cannot delete '" + remoteName + "'").result;
}

FtpResult CurlFtpClient::MakeFolder(const std::string& name)
{
    if (FtpResult named = usable(name, "folder"); !named)
        return named;
    return command({"MKD " + name}, "cannot make the folder '" + name + "'").result;
}

FtpResult CurlFtpClient::RemoveFolder(const std::string& name)
{
    if (FtpResult named = usable(name, "folder"); !named)
        return named;
    return command({"RMD " + name}, "cannot remove the folder '" + name + "'").result;
}

FtpResult CurlFtpClient::FetchListing(FtpSink& sink)
{
    if (FtpResult open = requests_.ready(); !open)
        return open;
    const std::int64_t limit = std::min(options_.maxDownloadBytes, sink.capacity());
    return requests_
        .run({.kind = RequestKind::List,
              .url = folderUrl(),
              .what = "cannot download 'the folder's names'",
              .sink = &sink,
              .limit = limit,
              .overLimit = tooLarge(limit, sink.capacity())})
        .result;
}

FtpResult CurlFtpClient::AskAbout(const std::string& remoteName, Facts& facts)
{
    if (FtpResult named = usable(remoteName); !named)
        return named;
    const Asked asked = askAbout(remoteName);
    if (asked.result && asked.mtime >= 0)
        facts.modified = asked.mtime;
    if (asked.result && asked.size >= 0)
        facts.size = asked.size;
    return asked.result;
}

FtpResult CurlFtpClient::waitUntil(Clock::time_point until, const std::string& remoteName)
{
    while (Clock::now() < until) {
        if (interrupted_ && interrupted_()) {
            CloseSession();
            return failure(FtpFailure::Interrupted, "cannot download '" + remoteName + "': interrupted");
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(10)));
    }
    return {};
}

void CurlFtpClient::CloseSession()
{
    // There is nothing to report either way.
    requests_.close();
    folderPath_.clear();
    folderFromRoot_.clear();
    listsFacts_.reset();
}

std::unique_ptr<FtpClient> makeCurlFtpClient(const FtpOptions& options)
{
    return std::make_unique<CurlFtpClient>(options, false);
}

std::unique_ptr<FtpPublishSession> makeCurlFtpPublishSession(const FtpOptions& options)
{
    return std::make_unique<CurlFtpClient>(options, true);
}

}  // namespace adv::platform
