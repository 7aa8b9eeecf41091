// What the update and roll-back commands need of the window or the
// console, and what they report back.
#pragma once

#include <QString>

#include <cstdint>
#include <utility>

namespace adv {

// Mouse pointer codes of the window.
enum class Pointer { Arrow = 1, Hourglass = 11 };

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
    Interrupted,       // stopped on request; the installed file is as it was
    NotAuthentic,      // refused: not the file the maker signed
    OlderRelease,      // refused: older than the installed release
    FutureRelease,     // refused: signed later than this machine's clock allows
    AlreadyCurrent,    // the server offers the installed release: nothing was touched
    RecordDamaged,     // the release record is damaged: nothing was touched
    ProgramRunning,    // the installed dolvo.exe runs in a program the sweep could not close: nothing was touched
    RolledBack,        // --rollback: the previous program is back
    NothingKept,       // --rollback: no previous program to go back to
    RollBackFailed,    // --rollback: the two could not trade places
    NotDue,            // the maker's plan reaches this site later: nothing was touched
    Paused,            // the maker paused the release: nothing was touched
    Restored,          // the installed release was withdrawn: the one the maker went back to is installed
    UpdateAvailable,   // --check: a release this site does not have is offered (now or later)
    SignatureMissing,  // with a key: the server offers no signature beside the program; nothing downloaded
    AnotherUpdate,     // another update or roll-back of this installation is under way: nothing touched
};

// Why a command failed (or what could not be tidied afterwards): the
// operator's Italian, and the words it rests on -- the server's reply, the
// library's or the system's, quoted as they came -- which are for IT and go
// only to the log file. Never holds the password.
struct Cause {
    QString text;
    QString detail;

    Cause() = default;
    Cause(QString italian, QString words = {}) : text(std::move(italian)), detail(std::move(words)) {}  // NOLINT
    bool isEmpty() const { return text.isEmpty(); }
    // Another cause after this one, each part with its own.
    Cause& operator+=(const Cause& more)
    {
        const auto join = [](QString& to, const QString& from) {
            to += (to.isEmpty() || from.isEmpty() ? QString() : QStringLiteral("; ")) + from;
        };
        join(text, more.text);
        join(detail, more.detail);
        return *this;
    }
    // Both, as the log file keeps them.
    QString logged() const { return detail.isEmpty() ? text : text + QStringLiteral(" (dettaglio: %1)").arg(detail); }
};

struct UpdateReport {
    UpdateOutcome outcome = UpdateOutcome::Cancelled;
    // Empty when there is nothing to say.
    Cause cause;
    // The release installed or kept: signed date and hash, or "non firmata".
    QString release;
    // A failure that may pass if the command is tried again later.
    bool mayPass = false;
};

// Every way out of a command puts the arrow back.
class PointerGuard {
public:
    explicit PointerGuard(UpdateUi& ui) : ui_(ui) { ui_.setPointer(Pointer::Hourglass); }
    ~PointerGuard() { ui_.setPointer(Pointer::Arrow); }
    PointerGuard(const PointerGuard&) = delete;
    PointerGuard& operator=(const PointerGuard&) = delete;

private:
    UpdateUi& ui_;
};

// A command's last status line, and its outcome.
inline UpdateReport ended(UpdateUi& ui, UpdateOutcome outcome, const QString& line, Cause cause = {})
{
    ui.AppendStatus(line);
    return {outcome, std::move(cause), {}};
}

}  // namespace adv
