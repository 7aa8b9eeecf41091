#include "app/maker/CheckedUpload.h"

#include <vector>

#include "app/channel/ServerLayout.h"
#include "app/maker/MakerTexts.h"

namespace adv {

namespace {

// Files this small are read back once more after their rename: the index and
// the signatures, the files sites judge everything else by.
constexpr std::size_t kCheckedAfterRename = 64 * 1024;

// For a server that will not rename onto a name in use: the file in place
// is renamed aside rather than deleted, so that the one in place is missing
// only between two renames, and put back when the new one is refused.
platform::FtpResult renameOver(platform::FtpPublishSession& ftp, UpdateUi& ui, const std::string& part,
                               const std::string& name)
{
    const std::string aside = asideName(name);
    (void)ftp.Delete(aside);  // one a cut publish left
    if (platform::FtpResult moved = ftp.Rename(name, aside); !moved)
        return moved;
    ui.AppendStatus(makertext::setAside(name, aside));
    const platform::FtpResult renamed = ftp.Rename(part, name);
    if (!renamed)
        (void)ftp.Rename(aside, name);
    else
        (void)ftp.Delete(aside);
    return renamed;
}

// What sites read that the server lists now, in the remote folder; the
// caller's account of it only when the server gives no listing.
QString visibleNow(ServerFiles& server, const QString& expected)
{
    platform::MemorySink listing(1024 * 1024);
    if (!server.enter() || !server.ftp().FetchListing(listing))
        return makertext::unlisted(expected);
    std::vector<std::string> read;
    for (const std::string& name : listedNames(listing.contents())) {
        if (name == kIndexName || name == kUpdatedProgram || name == signatureName(kUpdatedProgram))
            read.push_back(name);
    }
    return makertext::listedNow(read);
}

}  // namespace

PublishFailure putChecked(ServerFiles& server, UpdateUi& ui, const std::string& name, std::string_view bytes,
                          const QString& visible)
{
    platform::FtpPublishSession& ftp = server.ftp();
    const std::string part = partName(name);
    ui.AppendStatus(makertext::sending(name, bytes.size()));
    const platform::FtpResult put =
        ftp.PutFile(part, bytes, [&ui](std::int64_t sent, std::int64_t total) { ui.downloadProgress(sent, total); });
    ui.downloadEnded();
    if (!put)
        return PublishReport{PublishOutcome::ServerFailed,
                             makertext::serverCause(makertext::sendFailed(name), put, server.config())};
    if (const platform::FtpResult back = ftp.ReadBack(part, bytes); !back)
        return back.failure == platform::FtpFailure::Mismatch
                   ? PublishReport{PublishOutcome::Mismatch,
                                   text::because(makertext::readBackDiffers(name), back.detail)}
                   : PublishReport{PublishOutcome::ServerFailed,
                                   makertext::serverCause(makertext::readBackFailed(name), back, server.config())};
    platform::FtpResult renamed = ftp.Rename(part, name);
    // A refused rename of a file that has gone is no reason to touch the one in place.
    if (!renamed && renamed.failure == platform::FtpFailure::Refused && server.listed(part))
        renamed = renameOver(ftp, ui, part, name);
    if (!renamed)
        return PublishReport{PublishOutcome::RenameRefused,
                             text::because(makertext::notPlaced(name, visibleNow(server, visible)), renamed.detail)};
    // A server may say it renamed and not have done it.
    if (bytes.size() <= kCheckedAfterRename && !ftp.ReadBack(name, bytes))
        return PublishReport{PublishOutcome::RenameRefused,
                             makertext::placedDiffers(name, visibleNow(server, visible))};
    return std::nullopt;
}

}  // namespace adv
