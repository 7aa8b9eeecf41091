// The update command: replace the installed dolvo.exe with the server's copy.
#pragma once

#include <QString>

#include <cstdint>
#include <span>
#include <string>

#include "app/core/ExitStatus.h"
#include "platform/FtpClient.h"
#include "process/DoroDave.h"

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
    Interrupted,     // stopped on request; the installed file is as it was
    NotAuthentic,    // refused: not the file the maker signed
    OlderRelease,    // refused: older than the installed release
    FutureRelease,   // refused: signed later than this machine's clock allows
    AlreadyCurrent,  // the server offers the installed release: nothing was touched
    RecordDamaged,   // the release record is damaged: nothing was touched
    ProgramRunning,  // the installed dolvo.exe runs in a program the sweep could not close: nothing was touched
    RolledBack,      // --rollback: the previous program is back
    NothingKept,     // --rollback: no previous program to go back to
};

struct UpdateReport {
    UpdateOutcome outcome = UpdateOutcome::Cancelled;
    // Why it failed (or what could not be tidied afterwards), in Italian,
    // with the server's reply and the system's own words quoted as they
    // came; empty when there is nothing to say. Never holds the password.
    QString cause;
    // The release installed or kept: signed date and hash, or "non firmata".
    QString release;
};

// Exit status of `--update` for each outcome.
ExitStatus exitStatus(UpdateOutcome outcome);

// Replaces the installed dolvo.exe below `config.root` with the server's,
// keeping the replaced one as dolvo.exe.prev. With a public key in
// `config`, the server's dolvo.exe.minisig is fetched first, and the
// program only when the key signed it, for a release not older than the
// highest ever installed here and not dated in the future; the installed
// release again downloads nothing.
//
// The command's status lines, its cause and release also go to the run's
// log file (RunLog.h).
//
// Runs the whole command on the caller's thread. With `confirmed` the
// question is not asked (the command line's --update is the confirmation).
// `leftRunning` is what the start-up sweep could not close: while one of
// them runs the installed dolvo.exe (that file, not its name), the program
// is neither downloaded nor replaced.
UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed = false,
                           std::span<const LeftRunning> leftRunning = {});

// Puts dolvo.exe.prev back in dolvo.exe's place, and dolvo.exe (when there
// is one) in its own: a second one goes forward again. The release floor
// stays where it was. Refused, as the update is, while the installed dolvo.exe runs.
UpdateReport RollBackCommand(UpdateUi& ui, const Config& config, std::span<const LeftRunning> leftRunning = {});

}  // namespace adv
