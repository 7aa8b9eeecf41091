// Closing the products' programs: ask them all, give them one moment together
// to save and go, then force whatever is still there. Only the policy lives
// here; the process table of each OS does the asking and the forcing.
#include "process/DoroDave.h"

#include "platform/ProcessTable.h"

#include <utility>
#include <vector>

namespace adv {
namespace {

using platform::CloseRequest;
using platform::RunningProcess;

// How long a forced process may take to be really gone. The caller may be
// about to replace the files it ran from, and on Windows that needs the
// process out of the way; a process stuck in the kernel is not waited for.
constexpr std::chrono::milliseconds kForcedExitWait{2000};

// How many times the table is walked: the programs found first, then those
// that started meanwhile (a program may start another under its name when
// asked to close); the last time they are forced at once, so that a program
// that starts again whenever it is asked cannot hold the sweep for ever.
constexpr int kRounds = 3;

class Closing {
public:
    Closing(std::span<const std::string_view> names, TerminateReport& report) : names_(names), report_(report) {}

    std::span<const long> leftPids() const { return leftPids_; }

    void leave(std::size_t name, long pid, LeftBecause why)
    {
        report_.left.push_back({std::string(names_[name]), pid, why});
        // Later walks pass over it: it has been dealt with.
        leftPids_.push_back(pid);
    }

    // One batch: those that cannot be asked are ended at once, the others
    // are asked, waited for together and forced.
    void close(std::vector<RunningProcess>& procs, std::chrono::milliseconds grace)
    {
        std::vector<RunningProcess> asked;
        std::vector<RunningProcess> unasked;
        for (RunningProcess& p : procs) {
            if (grace <= std::chrono::milliseconds::zero()) {
                unasked.push_back(std::move(p));
                continue;
            }
            switch (p.requestClose()) {
            case CloseRequest::Sent: asked.push_back(std::move(p)); break;
            // Where asking was not allowed, forcing may still be (a Windows
            // program of higher integrity turns messages away); else it is
            // reported.
            case CloseRequest::CannotBeAsked:
            case CloseRequest::NotAllowed: unasked.push_back(std::move(p)); break;
            case CloseRequest::Gone: break;
            }
        }
        // Waiting would give a program that cannot be asked nothing to save
        // its work for. One that ends before the blow was closed by nobody.
        std::vector<RunningProcess> struck = forceAll(unasked).struck;
        // One wait for all of them: n programs saving their work take about
        // as long as the slowest, not as long as all of them in a row.
        platform::waitForExit(asked, grace);
        Forced late = forceAll(asked);
        report_.closed += late.endedMeanwhile;
        for (RunningProcess& p : late.struck)
            struck.push_back(std::move(p));

        platform::waitForExit(struck, kForcedExitWait);
        for (const RunningProcess& p : struck) {
            if (p.hasExited())
                ++report_.forced;
            else
                leave(p.name(), p.pid(), LeftBecause::WouldNotEnd);
        }
    }

private:
    struct Forced {
        std::vector<RunningProcess> struck;  // to be waited for
        int endedMeanwhile = 0;              // had ended before the blow
    };

    // Forces each of `procs` still running, in order.
    Forced forceAll(std::vector<RunningProcess>& procs)
    {
        Forced forced;
        for (RunningProcess& p : procs) {
            if (p.hasExited())
                ++forced.endedMeanwhile;
            else if (p.forceClose())
                forced.struck.push_back(std::move(p));
            else if (p.hasExited())
                ++forced.endedMeanwhile;  // it ended between the look and the blow
            else
                leave(p.name(), p.pid(), LeftBecause::NotAllowed);
        }
        return forced;
    }

    std::span<const std::string_view> names_;
    TerminateReport& report_;
    std::vector<long> leftPids_;
};

// The running processes of `names` but those already left running; those that
// cannot be opened are left running, with the reason.
std::vector<RunningProcess> walk(std::span<const std::string_view> names, Closing& closing, bool& more)
{
    platform::ProcessWalk walk = platform::openProcessesNamed(names, closing.leftPids());
    for (const platform::Unopenable& u : walk.unopenable)
        closing.leave(u.name, u.pid, LeftBecause::NotAllowed);
    more = walk.more;
    // An ended process that something still holds is no program to close.
    std::erase_if(walk.processes, [](const RunningProcess& p) { return p.hasExited(); });
    return std::move(walk.processes);
}

}  // namespace

TerminateReport TerminateProcessesByName(std::span<const std::string_view> names, std::chrono::milliseconds grace)
{
    TerminateReport report;
    Closing closing(names, report);
    for (int round = 1; round <= kRounds; ++round) {
        const std::chrono::milliseconds graceNow = round < kRounds ? grace : std::chrono::milliseconds::zero();
        bool found = false;
        // A walk stops early when this process can hold no more handles.
        for (bool more = true; more;) {
            std::vector<RunningProcess> procs = walk(names, closing, more);
            if (procs.empty())
                break;  // nothing could be opened: another walk would find the same
            found = true;
            closing.close(procs, graceNow);
        }
        if (!found)
            return report;
    }
    bool more = false;
    for (const RunningProcess& p : walk(names, closing, more))
        closing.leave(p.name(), p.pid(), LeftBecause::KeptStarting);
    return report;
}

}  // namespace adv
