// Which processes run a given file: the very file, by its identity on disk,
// whatever it or they are called. Anyone may name a program "dolvo.exe";
// only the installed one is held by what runs it.
#pragma once

#include <filesystem>
#include <span>
#include <vector>

namespace adv::platform {

// The pids among `pids` whose process runs `file`, in their order. On Linux
// a process that maps it counts too: Wine maps a Windows program's .exe
// rather than executing it, and only a process of the administrator or of the
// file's owner counts there. A process that has gone, or that this process
// may not look into (another user's, without the rights to), does not count:
// on Linux the replacement leaves a running program its old file, and on
// Windows a program that holds the file makes the replacement fail, saying
// so. Nothing runs a file that cannot be found.
std::vector<long> processesRunningFile(const std::filesystem::path& file, std::span<const long> pids);

}  // namespace adv::platform
