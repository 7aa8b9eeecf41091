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

// Forces each of `procs` still running. Those that ended on their own in the
// meantime count as `endedCount`, or not at all when it is null.
std::vector<RunningProcess> forceAll(std::vector<RunningProcess>& procs, TerminateReport& report,
                                     int* endedCount) {
    std::vector<RunningProcess> forced;
    for (RunningProcess& p : procs) {
        if (p.hasExited()) {
            if (endedCount != nullptr)
                ++*endedCount;
        } else if (p.forceClose()) {
            ++report.forced;
            forced.push_back(std::move(p));
        } else if (p.hasExited()) {
            // It ended between the look and the blow.
            if (endedCount != nullptr)
                ++*endedCount;
        } else {
            ++report.notClosed;
            report.notClosedPids.push_back(p.pid());
        }
    }
    return forced;
}

// One batch: the processes of one walk, asked, waited for and forced.
void closeBatch(std::vector<RunningProcess>& procs, std::chrono::milliseconds grace, TerminateReport& report) {
    std::vector<RunningProcess> forced;
    if (grace <= std::chrono::milliseconds::zero()) {
        // A process that ended before it was forced was closed by nobody.
        forced = forceAll(procs, report, nullptr);
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
        forced = forceAll(asked, report, &report.closed);
        // A program that cannot be asked (on Windows, one with no window) is
        // still ended; where asking failed for lack of rights, so does forcing,
        // and it is counted as not closed.
        for (RunningProcess& p : forceAll(unasked, report, nullptr))
            forced.push_back(std::move(p));
    }
    platform::waitForExit(forced, kForcedExitWait);
}

}  // namespace

TerminateReport TerminateProcessesByName(std::string_view name, std::chrono::milliseconds grace) {
    TerminateReport report;
    if (name.empty())
        return report;

    // Every process met is dealt with once: a later walk passes over it,
    // whether it has gone or refused to go.
    std::vector<long> seen;
    for (bool more = true; more;) {
        int unopenable = 0;
        std::vector<RunningProcess> procs = platform::openProcessesNamed(name, &unopenable, seen, &more);
        report.notClosed += unopenable;
        if (procs.empty())
            break;  // nothing could be opened: another walk would find the same
        for (const RunningProcess& p : procs)
            seen.push_back(p.pid());
        closeBatch(procs, grace, report);
    }
    return report;
}

}  // namespace adv
