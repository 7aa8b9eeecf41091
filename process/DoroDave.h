// Closes the running programs of the products, by executable name.
#pragma once

#include <chrono>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace adv {

// Why a program is still running after it was dealt with.
enum class LeftBecause {
    NotAllowed,    // this process may neither ask nor end it (another user's, say)
    WouldNotEnd,   // ended by force, it was still there a while later
    KeptStarting,  // programs under its name kept starting while others were closed
};

struct LeftRunning {
    std::string name;  // the name it was looked for under
    long pid = 0;
    LeftBecause why = LeftBecause::NotAllowed;
};

// A program ended by force, named for the operator.
struct EndedByForce {
    std::string name;  // the name it was looked for under
    long pid = 0;
};

// What one call did.
struct TerminateReport {
    int closed = 0;                 // ended after being asked to close
    int forced = 0;                 // ended by force: it could not be asked, or was still running after the grace
    std::vector<LeftRunning> left;  // still running, in the order of the names
    // Those of `forced` that could not be asked (no display or no window, a
    // display that failed or stayed silent, not allowed): whatever they had
    // not saved is lost. In the order they were ended.
    std::vector<EndedByForce> unasked;
    // The others of `forced`: asked, and still running after the grace (they
    // may have been asking their user whether to save), or ended at once by
    // a zero grace. Each forced program is in one of the two lists.
    std::vector<EndedByForce> overdue;
};

// Whether the program `name` (as it was looked for), process `pid`, asked
// through its window and still running after the grace, may be ended by
// force now. It may be asking its user whether to save: true forces it,
// false gives it one more grace, after which the question comes again if it
// still runs. The time spent answering is not taken from the grace.
using MayForce = std::function<bool(std::string_view name, long pid)>;

// Asks every running process whose image name equals one of `names` (any
// letter case) to close, those of the first name first, and ends at once
// those that cannot be asked. Waits for all of them together up to `grace`,
// asking included (a display that does not answer costs no more), then forces
// those still running, in the same order. Walks again, and deals
// the same way with programs that started under those names meanwhile, a few
// times at most: the last time forcing at once. A zero grace forces at once.
// With `mayForce`, a program asked through its window is forced only when it
// says so, and never left to a later walk. Empty names match nothing. Never
// touches the calling process.
TerminateReport TerminateProcessesByName(std::span<const std::string_view> names, std::chrono::milliseconds grace,
                                         const MayForce& mayForce = {});

}  // namespace adv
