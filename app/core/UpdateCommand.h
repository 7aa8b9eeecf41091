// The update command: replace the installed dolvo.exe with the server's copy.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

#include "app/core/ExitStatus.h"
#include "platform/FtpClient.h"

namespace adv {

struct Config;

// Mouse pointer codes of the window.
enum class Pointer { Arrow = 1, Hourglass = 11 };

// What the update command needs of the window; tests implement it too.
class UpdateUi {
public:
    virtual ~UpdateUi() = default;
    virtual void setPointer(Pointer pointer) = 0;
    // The Yes/No question, No the default; true for Yes.
    virtual bool askYesNo(const QString& prompt, const QString& title) = 0;
    // The hidden drive list's current drive text: the drive ("c:") on
    // Windows, the configured root folder on Linux.
    virtual QString driveText() const = 0;
    // Shows the busy label and paints it at once.
    virtual void showBusyLabel() = 0;
    virtual void AppendStatus(const QString& message) = 0;
    // Download progress; total < 0 when the size is unknown.
    virtual void downloadProgress(std::int64_t received, std::int64_t total) = 0;
    // The download has ended, well or not: the progress goes.
    virtual void downloadEnded() = 0;
    // Asked again and again while the command waits on the server: the
    // window handles what happened meanwhile (paints, the operator's clicks)
    // and says whether the operator asked to stop.
    virtual bool stopRequested() = 0;
};

enum class UpdateOutcome {
    Cancelled,  // the operator answered No
    Updated,
    ConnectFailed,
    FolderMissing,
    NotInstalled,
    DownloadFailed,
    Interrupted,  // stopped on request; the installed file is as it was
    NotAuthentic,  // refused: not the file the maker signed
    OlderRelease,  // refused: older than the installed release
};

struct UpdateReport {
    UpdateOutcome outcome = UpdateOutcome::Cancelled;
    std::string reason;  // why it failed, in English, for stderr; empty on success
};

// Exit status of `--update` for each outcome.
ExitStatus exitStatus(UpdateOutcome outcome);

// With a public key in `config`, the server's dolvo.exe.minisig is fetched
// first and the download is installed only if the key signed it and it is
// not older than the installed release (the signature kept beside it).
//
// Runs the whole command on the caller's thread. With `confirmed` the
// question is not asked (the command line's --update is the confirmation).
UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed = false);

}  // namespace adv
