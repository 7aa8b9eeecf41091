// Closing the products' programs: ask them all, give them one moment together
// to save and go, then force whatever is still there. Only the policy lives
// here; the process table of each OS does the asking and the forcing.
#include "process/DoroDave.h"

#include "platform/ProcessTable.h"

#include <chrono>
#include <map>
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
    Closing(std::span<const std::string_view> names, const MayForce& mayForce, TerminateReport& report)
        : names_(names), mayForce_(mayForce), report_(report)
    {
    }

    std::span<const long> leftPids() const { return leftPids_; }

    void leave(std::size_t name, long pid, LeftBecause why)
    {
        report_.left.push_back({std::string(names_[name]), pid, why});
        // Later walks pass over it: it has been dealt with.
        leftPids_.push_back(pid);
    }

    // One batch: those that cannot be asked are ended at once, the others
    // are asked, waited for together and forced. `reportUnasked` is false
    // when nobody is to be asked: the operator chose a zero grace.
    void close(std::vector<RunningProcess>& procs, std::chrono::milliseconds grace, bool reportUnasked)
    {
        // The grace runs from the first request: asking too has to fit in it,
        // so n displays that never answer cost one grace, not n.
        const auto deadline = Clock::now() + grace;
        std::vector<RunningProcess> asked;
        std::vector<RunningProcess> unasked;
        for (RunningProcess& p : procs) {
            if (grace <= std::chrono::milliseconds::zero()) {
                unasked.push_back(std::move(p));
                continue;
            }
            switch (p.requestClose()) {
            case CloseRequest::Sent:
            case CloseRequest::Pending: asked.push_back(std::move(p)); break;
            // Where asking was not allowed, forcing may still be (a Windows
            // program of higher integrity turns messages away); else it is
            // reported.
            case CloseRequest::CannotBeAsked:
            case CloseRequest::NotAllowed: unasked.push_back(std::move(p)); break;
            case CloseRequest::Gone: break;
            }
        }
        // Waiting would give a program that cannot be asked nothing to save
        // its work for.
        std::vector<Struck> struck;
        // A zero grace asked nobody, by the operator's choice: named as forced.
        forceAll(unasked, struck, Asked::No, reportUnasked ? &TerminateReport::unasked : &TerminateReport::overdue);
        // One wait for all of them: n programs saving their work take about
        // as long as the slowest, not as long as all of them in a row. An
        // asking that fails meanwhile gets its program ended then.
        for (;;) {
            std::vector<RunningProcess> failed = takeUnasked(asked);
            forceAll(failed, struck, Asked::No, &TerminateReport::unasked);
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left <= std::chrono::milliseconds::zero() || !platform::waitForExit(asked, left))
                break;
        }
        // One that ended by itself was closed, whatever its asker had still to
        // say; an asking still under way at the deadline has asked nobody.
        std::erase_if(asked, [this](RunningProcess& p) {
            if (!p.hasExited())
                return false;
            ++report_.closed;
            return true;
        });
        for (RunningProcess& p : asked)
            p.abandonCloseRequest();
        std::vector<RunningProcess> failed = takeUnasked(asked);
        forceAll(failed, struck, Asked::No, &TerminateReport::unasked);
        std::vector<RunningProcess> showing = mayForce_ ? takeShowingAWindow(asked) : std::vector<RunningProcess>{};
        forceAll(asked, struck, Asked::Yes, &TerminateReport::overdue);
        askTheOperator(showing, grace);
        forceAll(showing, struck, Asked::Yes, &TerminateReport::overdue);

        std::vector<RunningProcess> ending;
        for (Struck& s : struck)
            ending.push_back(std::move(s.process));
        platform::waitForExit(ending, kForcedExitWait);
        for (std::size_t i = 0; i < ending.size(); ++i) {
            const RunningProcess& p = ending[i];
            if (!p.hasExited()) {
                leave(p.name(), p.pid(), LeftBecause::WouldNotEnd);
                continue;
            }
            ++report_.forced;
            (report_.*struck[i].namedIn).push_back({std::string(names_[p.name()]), p.pid()});
        }
    }

private:
    using Clock = std::chrono::steady_clock;

    enum class Asked { No, Yes };
    // The report's list that names a program forced.
    using Named = std::vector<EndedByForce> TerminateReport::*;

    struct Struck {
        RunningProcess process;  // to be waited for
        Named namedIn = nullptr;
    };

    // Takes out of `asked` the programs that were asked through a window:
    // they may be showing their user a question of their own ("save the
    // changes?"), which forcing would answer with the work lost.
    static std::vector<RunningProcess> takeShowingAWindow(std::vector<RunningProcess>& asked)
    {
        std::vector<RunningProcess> showing;
        std::vector<RunningProcess> others;
        for (RunningProcess& p : asked)
            (p.askedThroughWindow() ? showing : others).push_back(std::move(p));
        asked = std::move(others);
        return showing;
    }

    // The operator is asked about the programs of `showing` still running,
    // once for each name, however many run under it (the question names the
    // program, not the process); each No gives them one more grace, counted
    // from the answer, and the question again. Leaves in `showing` the ones
    // to force: the others have ended.
    void askTheOperator(std::vector<RunningProcess>& showing, std::chrono::milliseconds grace)
    {
        std::vector<RunningProcess> waiting = std::move(showing);
        showing.clear();
        while (!waiting.empty()) {
            std::vector<RunningProcess> declined;
            std::map<std::size_t, bool> force;
            for (RunningProcess& p : waiting) {
                if (!p.hasExited() && !force.contains(p.name()))
                    force[p.name()] = mayForce_(names_[p.name()], p.pid());
                // One that went while the question was open saved and closed.
                if (p.hasExited())
                    ++report_.closed;
                else
                    (force[p.name()] ? showing : declined).push_back(std::move(p));
            }
            if (!declined.empty())
                platform::waitForExit(declined, grace);
            waiting = std::move(declined);
        }
    }

    // Takes out of `asked` the programs whose asking came to nothing.
    static std::vector<RunningProcess> takeUnasked(std::vector<RunningProcess>& asked)
    {
        std::vector<RunningProcess> failed;
        std::vector<RunningProcess> kept;
        for (RunningProcess& p : asked) {
            const CloseRequest answer = p.closeRequestAnswer();
            (answer == CloseRequest::Sent || answer == CloseRequest::Pending ? kept : failed).push_back(std::move(p));
        }
        asked = std::move(kept);
        return failed;
    }

    // Forces each of `procs` still running, in order, to be named in `namedIn`.
    void forceAll(std::vector<RunningProcess>& procs, std::vector<Struck>& struck, Asked asked, Named namedIn)
    {
        // One that ends before the blow was closed by nobody, unless asked.
        const int closed = asked == Asked::Yes ? 1 : 0;
        for (RunningProcess& p : procs) {
            if (p.hasExited())
                report_.closed += closed;
            else if (p.forceClose())
                struck.push_back({std::move(p), namedIn});
            else if (p.hasExited())
                report_.closed += closed;  // it ended between the look and the blow
            else
                leave(p.name(), p.pid(), LeftBecause::NotAllowed);
        }
    }

    std::span<const std::string_view> names_;
    const MayForce& mayForce_;
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

TerminateReport TerminateProcessesByName(std::span<const std::string_view> names, std::chrono::milliseconds grace,
                                         const MayForce& mayForce)
{
    TerminateReport report;
    Closing closing(names, mayForce, report);
    for (int round = 1; round <= kRounds; ++round) {
        const std::chrono::milliseconds graceNow = round < kRounds ? grace : std::chrono::milliseconds::zero();
        bool found = false;
        // A walk stops early when this process can hold no more handles.
        for (bool more = true; more;) {
            std::vector<RunningProcess> procs = walk(names, closing, more);
            if (procs.empty())
                break;  // nothing could be opened: another walk would find the same
            found = true;
            closing.close(procs, graceNow, grace > std::chrono::milliseconds::zero());
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
