#include "app/site/UpdateReport.h"

#include "app/core/RunLog.h"

using namespace Qt::StringLiterals;

namespace adv {

UpdateReport loggedEnd(UpdateReport report)
{
    if (!report.cause.isEmpty())
        runlog::write(u"Causa: "_s + report.cause.logged());
    if (!report.release.isEmpty())
        runlog::write(u"Installata: "_s + report.release);
    return report;
}

std::string_view outcomeWord(UpdateOutcome outcome)
{
    using enum UpdateOutcome;
    switch (outcome) {
    case Cancelled: return "cancelled";
    case Updated: return "updated";
    case ConnectFailed: return "connect-failed";
    case FolderMissing: return "folder-missing";
    case NotInstalled: return "not-installed";
    case DownloadFailed: return "download-failed";
    case Interrupted: return "interrupted";
    case NotAuthentic: return "not-authentic";
    case OlderRelease: return "older-release";
    case FutureRelease: return "future-release";
    case AlreadyCurrent: return "already-current";
    case RecordDamaged: return "record-damaged";
    case ProgramRunning: return "program-running";
    case RolledBack: return "rolled-back";
    case NothingKept: return "nothing-kept";
    case RollBackFailed: return "roll-back-failed";
    case NotDue: return "not-due";
    case Paused: return "paused";
    case Restored: return "restored";
    case UpdateAvailable: return "update-available";
    case SignatureMissing: return "signature-missing";
    case AnotherUpdate: return "another-update";
    case IndexExpired: return "index-expired";
    }
    return "unknown";
}

}  // namespace adv
