// The process table as the terminator sees it: find the running processes with
// a given image name, ask them to close, wait for them, force them.
//
// One implementation per OS (process_table_linux.cpp, process_table_win.cpp),
// chosen by CMake. Qt-free, so the Windows build can compile it on its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace adv::platform {

// One running process, held by a handle that keeps naming that very process
// (a pidfd on Linux, a process handle on Windows): once opened, a reused pid
// can never be signalled by mistake. Move-only.
class RunningProcess {
public:
    RunningProcess() = default;
    // Takes ownership of `handle` (a pidfd, or a Windows process HANDLE).
    RunningProcess(long pid, std::intptr_t handle) : pid_(pid), handle_(handle) {}
    RunningProcess(RunningProcess&& other) noexcept : pid_(other.pid_), handle_(std::exchange(other.handle_, -1)) {}
    RunningProcess& operator=(RunningProcess&& other) noexcept
    {
        if (this != &other) {
            release();
            pid_ = other.pid_;
            handle_ = std::exchange(other.handle_, -1);
        }
        return *this;
    }
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    ~RunningProcess() { release(); }

    long pid() const { return pid_; }

    // Ask the process to close (SIGTERM; WM_CLOSE to its top-level windows).
    // False when it could not be asked (no rights, already gone).
    bool requestClose();
    // End it now (SIGKILL; TerminateProcess with exit code 0).
    bool forceClose();
    // True once the process has ended.
    bool hasExited() const;

private:
    // Sleeps on the handles of many processes at once.
    friend void waitForExit(std::span<RunningProcess> procs, std::chrono::milliseconds timeout);

    // Closes the handle: the one part that differs between the OSes.
    void release() noexcept;

    long pid_ = 0;
    std::intptr_t handle_ = -1;  // pidfd, or the HANDLE's value
};

// What one walk of the process table found.
struct ProcessWalk {
    std::vector<RunningProcess> processes;  // opened for closing
    int unopenable = 0;                     // matched but could not be opened
    // The walk stopped early, before the process could hold more handles
    // (the open-file limit on Linux): deal with these, let them go, and walk
    // again, skipping their pids.
    bool more = false;
};

// Every running process whose image name equals `name` (UTF-8), ignoring
// ASCII letter case, opened for closing, but those whose pid is in `skip`.
// Never the calling process itself, never a kernel thread. Processes that
// vanish or refuse to be opened are passed over.
ProcessWalk openProcessesNamed(std::string_view name, std::span<const long> skip = {});

// Wait until every process in `procs` has ended or `timeout` has passed,
// whichever comes first, sleeping on the processes themselves.
void waitForExit(std::span<RunningProcess> procs, std::chrono::milliseconds timeout);

}  // namespace adv::platform
