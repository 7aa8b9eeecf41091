// The walk of the process table, written once over the per-system listing.
#include "platform/ProcessTable.h"

#include <algorithm>

namespace adv::platform {

ProcessWalk openProcessesNamed(std::span<const std::string_view> names, std::span<const long> skip)
{
    ProcessWalk walk;
    if (names.empty())
        return walk;
    walk::Listing listing(names);
    long pid = 0;
    std::size_t name = 0;
    bool room = true;
    while (room && listing.next(pid, name)) {
        if (std::find(skip.begin(), skip.end(), pid) != skip.end())
            continue;
        RunningProcess process;
        switch (listing.open(pid, name, walk.processes.size(), process)) {
        case walk::Opened::Yes: walk.processes.push_back(std::move(process)); break;
        case walk::Opened::Gone: break;
        case walk::Opened::Refused: walk.unopenable.push_back({name, pid}); break;
        case walk::Opened::NoRoom:
            walk.more = true;
            room = false;
            break;
        }
    }
    std::stable_sort(walk.processes.begin(), walk.processes.end(),
                     [](const RunningProcess& a, const RunningProcess& b) { return a.name() < b.name(); });
    return walk;
}

}  // namespace adv::platform
