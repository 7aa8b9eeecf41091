#include "app/maker/CheckedUpload.h"

#include "app/channel/ServerLayout.h"
#include "app/maker/MakerTexts.h"

namespace adv {

namespace {

// Files this small are read back once more after their rename: the index and
// the signatures, the files sites judge everything else by.
constexpr std::size_t kCheckedAfterRename = 64 * 1024;

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
                   ? PublishReport{PublishOutcome::Mismatch, text::because(makertext::readBackDiffers(name), back.detail)}
                   : PublishReport{PublishOutcome::ServerFailed,
                                   makertext::serverCause(makertext::readBackFailed(name), back, server.config())};
    platform::FtpResult renamed = ftp.Rename(part, name);
    // A server that will not rename onto a name in use gets a delete first.
    if (!renamed && renamed.failure == platform::FtpFailure::Refused && server.listed(part) && ftp.Delete(name)) {
        ui.AppendStatus(makertext::deletedFirst(name));
        renamed = ftp.Rename(part, name);
    }
    if (!renamed)
        return PublishReport{PublishOutcome::RenameRefused,
                             text::because(makertext::notPlaced(name, visible), renamed.detail)};
    // A server may say it renamed and not have done it.
    if (bytes.size() <= kCheckedAfterRename && !ftp.ReadBack(name, bytes))
        return PublishReport{PublishOutcome::RenameRefused, makertext::placedDiffers(name, visible)};
    return std::nullopt;
}

}  // namespace adv
