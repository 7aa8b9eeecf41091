// Closes the running programs of a product, by executable name.
#pragma once

#include <chrono>
#include <string_view>
#include <vector>

namespace adv {

// What one call did; nothing of it is shown on the window.
struct TerminateReport {
    int closed = 0;                   // ended after being asked to close
    int forced = 0;                   // still running after the grace period, ended by force
    int notClosed = 0;                // could not be asked or forced (no rights, say)
    std::vector<long> notClosedPids;  // those of them whose pid is known

    int matched() const { return closed + forced + notClosed; }
    // Compares the counts: which pids a run meets is the machine's business.
    friend bool operator==(const TerminateReport& a, const TerminateReport& b)
    {
        return a.closed == b.closed && a.forced == b.forced && a.notClosed == b.notClosed;
    }
};

inline constexpr std::chrono::seconds kDefaultCloseGrace{3};

// Asks every running process whose image name equals `name` (any letter case)
// to close, waits for all of them together up to `grace`, then forces those
// still running. A zero grace forces at once. An empty name returns at once.
// Never touches the calling process.
TerminateReport TerminateProcessesByName(std::string_view name, std::chrono::milliseconds grace = kDefaultCloseGrace);

}  // namespace adv
