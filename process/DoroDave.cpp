// Closing a product's programs: ask first, give them a moment to save and go,
// then force whatever is still there. Only the policy lives here; the process
// table of each OS does the work.
#include "process/DoroDave.h"

#include "platform/ProcessTable.h"

#include <utility>
#include <vector>

namespace adv {
namespace {

using platform::RunningProcess;

// How long a forced process may take to be really gone. The caller may be
// about to replace the files it ran from, and on Windows that needs the
// process out of the way; a process stuck in the kernel is not waited for.
constexpr std::chrono::milliseconds kForcedExitWait{2000};

// What forcing a group of processes came to.
struct Forced {
    std::vector<RunningProcess> processes;  // forced now, to be waited for
    int endedMeanwhile = 0;                 // had ended on their own before they were forced
};

// Forces each of `procs` still running; those it may not force are counted
// as not closed.
Forced forceAll(std::vector<RunningProcess>& procs, TerminateReport& report)
{
    Forced forced;
    for (RunningProcess& p : procs) {
        if (p.hasExited()) {
            ++forced.endedMeanwhile;
        } else if (p.forceClose()) {
            ++report.forced;
            forced.processes.push_back(std::move(p));
        } else if (p.hasExited()) {
            ++forced.endedMeanwhile;  // it ended between the look and the blow
        } else {
            ++report.notClosed;
            report.notClosedPids.push_back(p.pid());
        }
    }
    return forced;
}

// One batch: the processes of one walk, asked, waited for and forced.
void closeBatch(std::vector<RunningProcess>& procs, std::chrono::milliseconds grace, TerminateReport& report)
{
    std::vector<RunningProcess> forced;
    if (grace <= std::chrono::milliseconds::zero()) {
        // A process that ended before it was forced was closed by nobody.
        forced = forceAll(procs, report).processes;
    } else {
        std::vector<RunningProcess> asked;
        std::vector<RunningProcess> unasked;
        asked.reserve(procs.size());
        for (RunningProcess& p : procs) {
            if (p.requestClose())
                asked.push_back(std::move(p));
            else if (!p.hasExited())
                unasked.push_back(std::move(p));
            // else: it was gone before it could be asked; nothing to count.
        }
        // One wait for all of them: n programs saving their work take about as
        // long as the slowest, not as long as all of them in a row.
        platform::waitForExit(asked, grace);
        Forced afterAsking = forceAll(asked, report);
        report.closed += afterAsking.endedMeanwhile;
        forced = std::move(afterAsking.processes);
        // A program that cannot be asked (on Windows, one with no window) is
        // still ended; where asking failed for lack of rights, so does forcing,
        // and it is counted as not closed.
        for (RunningProcess& p : forceAll(unasked, report).processes)
            forced.push_back(std::move(p));
    }
    platform::waitForExit(forced, kForcedExitWait);
}

}  // namespace

TerminateReport TerminateProcessesByName(std::string_view name, std::chrono::milliseconds grace)
{
    TerminateReport report;
    if (name.empty())
        return report;

    // Every process met is dealt with once: a later walk passes over it,
    // whether it has gone or refused to go.
    std::vector<long> seen;
    for (bool more = true; more;) {
        platform::ProcessWalk walk = platform::openProcessesNamed(name, seen);
        report.notClosed += walk.unopenable;
        more = walk.more;
        if (walk.processes.empty())
            break;  // nothing could be opened: another walk would find the same
        for (const RunningProcess& p : walk.processes)
            seen.push_back(p.pid());
        closeBatch(walk.processes, grace, report);
    }
    return report;
}

}  // namespace adv
