// The process table as the terminator sees it: find the running processes with
// given image names, ask them to close, wait for them, force them.
//
// One implementation per OS (ProcessTable_linux.cpp, ProcessTable_win.cpp),
// chosen by CMake. Qt-free, so the Windows build can compile it on its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace adv::platform {

// What came of asking a program to close.
enum class CloseRequest {
    Sent,           // it has the request and may take its time to save and go
    CannotBeAsked,  // nothing of it can receive one (a Windows program without a window)
    NotAllowed,     // this process may not ask it (another user's program, say)
    Gone,           // it had ended already
    Pending,        // the asking takes a while (a display to reach): see closeRequestAnswer()
};

// A close request whose answer comes later: on Linux, the child process that
// asks a Wine program through its display, and the pipe it answers on.
struct PendingClose {
    long asker = 0;              // 0 when none is under way
    std::intptr_t answers = -1;  // readable once the asker has answered or ended
    CloseRequest answer = CloseRequest::Sent;
    // The request went to the program's windows, where it may be answered
    // with a question to its user rather than by going.
    bool throughWindow = false;
};

// One running process, held by a handle that keeps naming that very process
// (a pidfd on Linux, a process handle on Windows): once opened, a reused pid
// can never be signalled by mistake. Move-only.
class RunningProcess {
public:
    RunningProcess() = default;
    // Takes ownership of `handle` (a pidfd, or a Windows process HANDLE).
    // `name` is the index, among the names the walk was given, of its name.
    RunningProcess(long pid, std::intptr_t handle, std::size_t name = 0) : pid_(pid), name_(name), handle_(handle) {}
    RunningProcess(RunningProcess&& other) noexcept
        : pid_(other.pid_),
          name_(other.name_),
          handle_(std::exchange(other.handle_, -1)),
          pending_(std::exchange(other.pending_, {}))
    {
    }
    RunningProcess& operator=(RunningProcess&& other) noexcept
    {
        if (this != &other) {
            release();
            pid_ = other.pid_;
            name_ = other.name_;
            handle_ = std::exchange(other.handle_, -1);
            pending_ = std::exchange(other.pending_, {});
        }
        return *this;
    }
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;
    ~RunningProcess() { release(); }

    long pid() const { return pid_; }
    std::size_t name() const { return name_; }

    // Asks the process to close the way its own system asks a program: a
    // Windows program gets WM_CLOSE on its top-level windows (under Wine,
    // through the X close request to its windows, which Wine turns into
    // WM_CLOSE), a Linux program SIGTERM. Pending when the answer comes later.
    CloseRequest requestClose();
    // The answer to the last request: Pending while the asking goes on, then
    // what came of it (Sent, CannotBeAsked, NotAllowed).
    CloseRequest closeRequestAnswer();
    // Stops an asking still under way, and waits for it to stop: the program
    // then counts as one that could not be asked.
    void abandonCloseRequest();
    // The last request reached the program through its windows (WM_CLOSE, or
    // the X close request to a Wine program's windows), not as a signal: it
    // has a window to show a question in, "save the changes?" say.
    bool askedThroughWindow() const { return pending_.throughWindow; }
    // End it now (SIGKILL; TerminateProcess with exit code 0).
    bool forceClose();
    // True once the process has ended.
    bool hasExited() const;

private:
    // Sleeps on the handles of many processes at once.
    friend bool waitForExit(std::span<RunningProcess> procs, std::chrono::milliseconds timeout);

    // Closes the handle and stops any asking: the part that differs between the OSes.
    void release() noexcept;

    long pid_ = 0;
    std::size_t name_ = 0;
    std::intptr_t handle_ = -1;  // pidfd, or the HANDLE's value
    PendingClose pending_;
};

// A process that matched but could not be opened.
struct Unopenable {
    std::size_t name;  // index among the names asked for
    long pid;
};

// What one walk of the process table found.
struct ProcessWalk {
    std::vector<RunningProcess> processes;  // opened for closing, in the order of the names asked for
    std::vector<Unopenable> unopenable;     // matched but could not be opened
    // The walk stopped early, before the process could hold more handles
    // (the open-file limit on Linux): deal with these, let them go, and walk
    // again, skipping their pids.
    bool more = false;
};

// Every running process whose image name equals one of `names` (UTF-8),
// ignoring ASCII letter case, opened for closing, but those whose pid is in
// `skip`; those of the first name first. Never the calling process itself,
// never a kernel thread. Processes that vanish are passed over.
ProcessWalk openProcessesNamed(std::span<const std::string_view> names, std::span<const long> skip = {});

// The walk's steps that differ per system (ProcessTable_linux.cpp,
// ProcessTable_win.cpp); the walk itself (ProcessTable.cpp) is written once.
namespace walk {

enum class Opened {
    Yes,
    Gone,     // it ended, or its pid now names another program: nothing to close
    Refused,  // it runs, and may not be opened
    NoRoom,   // no handle to spare for it: the walk stops here
};

// One pass over the system's list of processes.
class Listing {
public:
    explicit Listing(std::span<const std::string_view> names);
    ~Listing();
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    // The next process, never this one, whose image name is one of the
    // names: its pid and which name. False at the end of the list.
    bool next(long& pid, std::size_t& name);
    // Opens the process `next` gave for closing, then looks again, through
    // what was opened, that it still carries that name. `held`: how many
    // the walk holds open already.
    Opened open(long pid, std::size_t name, std::size_t held, RunningProcess& process);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace walk

// Wait until every process in `procs` has ended or `timeout` has passed,
// whichever comes first, sleeping on the processes themselves. Returns early,
// with true, when a pending close request of one of them has been answered.
bool waitForExit(std::span<RunningProcess> procs, std::chrono::milliseconds timeout);

}  // namespace adv::platform
