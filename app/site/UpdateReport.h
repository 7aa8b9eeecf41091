// How an update or a roll-back ended: its outcome, for the exit status,
// and what the operator and the log are told.
#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "app/core/Failure.h"
#include "app/core/UpdateUi.h"

namespace adv {

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
    IndexExpired,      // the maker's index is past the time it holds for: nothing was touched
};

struct UpdateReport {
    UpdateOutcome outcome = UpdateOutcome::Cancelled;
    // Empty when there is nothing to say.
    Cause cause;
    // The release installed or kept: signed date and hash, or "non firmata".
    QString release;
    // A failure that may pass if the command is tried again later.
    bool mayPass = false;
    // For the site's report: the kind of the server's failure, a word of a
    // fixed list ("login", "transfer"...); empty when the server failed nothing.
    std::string_view causeKind{};
    // What the run learnt of the maker's offer (hashes in hex; empty: none).
    std::string indexRelease{};
    std::int64_t indexSigned = 0;
    std::int64_t indexExpires = 0;  // 0: the index does not expire
    std::string tried{};            // the release it set out to install
    // The site's report of this run, as sent or kept; empty: none.
    std::string siteReport{};
};

// The outcome as the site's report names it: a word of a fixed list.
std::string_view outcomeWord(UpdateOutcome outcome);

// A command's last status line, and its outcome.
inline UpdateReport ended(UpdateUi& ui, UpdateOutcome outcome, const QString& line, Cause cause = {})
{
    ui.AppendStatus(line);
    return {outcome, std::move(cause), {}};
}

// The report's cause and release, after its last line, in the log file.
UpdateReport loggedEnd(UpdateReport report);

}  // namespace adv
