// The process table on Linux: /proc for the walk, pidfds for everything that
// touches a process.
//
// Image names. The kernel keeps a process's name in `comm`: the file name given
// to execve() (for a #! script, the script's name, not the interpreter's), or
// whatever the process set with PR_SET_NAME (Wine sets the Windows file name
// there). Reading /proc/<pid>/comm is one small read per process, so the walk
// looks at nothing else unless it has to. It has to when comm is full: the
// kernel cuts it to 15 bytes, so a full comm that begins the asked name may
// stand for a longer name. The full name is then taken from the command line
// (argv[0], whose Windows path Wine keeps; or the script path that follows the
// interpreter) or from the executable link.
#include "platform/ProcessTable.h"

#include "platform/ProcFiles_linux.h"
#include "platform/Strings.h"
#include "platform/WineWindows_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <csignal>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace adv::platform {
namespace {

// TASK_COMM_LEN less its terminating NUL.
constexpr std::size_t kCommMax = 15;

// Mirrors the glibc 2.36 wrappers, which older C libraries lack.
int pidfdOpen(long pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0U));
}

bool pidfdSendSignal(std::intptr_t pidfd, int signal)
{
    if (pidfd < 0)
        return false;
    return ::syscall(SYS_pidfd_send_signal, static_cast<int>(pidfd), signal, nullptr, 0U) == 0;
}

char foldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return foldAscii(x) == foldAscii(y); });
}

// "<pid>/<leaf>" in a small buffer, for openat() against the /proc descriptor.
class ProcPath {
public:
    explicit ProcPath(std::string_view pidText) : pidLen_(std::min(pidText.size(), kPidMax))
    {
        std::memcpy(buf_.data(), pidText.data(), pidLen_);
        buf_[pidLen_] = '/';
    }
    const char* leaf(std::string_view name)
    {
        const std::size_t n = std::min(name.size(), buf_.size() - pidLen_ - 2);
        std::memcpy(buf_.data() + pidLen_ + 1, name.data(), n);
        buf_[pidLen_ + 1 + n] = '\0';
        return buf_.data();
    }

private:
    static constexpr std::size_t kPidMax = 20;
    std::array<char, 40> buf_{};
    std::size_t pidLen_;
};

enum class CommVerdict { Differs, Equals, MayBeCut };

// Judges the name from comm alone, as far as comm can tell.
CommVerdict judgeComm(std::string_view comm, std::string_view name)
{
    if (comm.size() < kCommMax)
        return equalsIgnoringCase(comm, name) ? CommVerdict::Equals : CommVerdict::Differs;
    // A full comm may be the first 15 bytes of a longer name, so an equal one
    // proves nothing either.
    if (name.size() < kCommMax)
        return CommVerdict::Differs;
    return equalsIgnoringCase(comm, name.substr(0, kCommMax)) ? CommVerdict::MayBeCut : CommVerdict::Differs;
}

// Which of `names` the process behind `pidText` carries as its image name.
std::optional<std::size_t> nameOf(int procFd, std::string_view pidText, std::span<const std::string_view> names)
{
    ProcPath path(pidText);

    std::array<char, 64> commBuf{};
    const long commLen = readProcFile(procFd, path.leaf("comm"), commBuf.data(), commBuf.size(), Reads::Once);
    if (commLen <= 0)
        return std::nullopt;
    std::string_view comm(commBuf.data(), static_cast<std::size_t>(commLen));
    if (comm.back() == '\n')
        comm.remove_suffix(1);

    std::optional<std::size_t> equal;
    bool mayBeCut = false;
    for (std::size_t i = 0; i < names.size() && !equal; ++i) {
        if (names[i].empty())
            continue;  // it would match the nameless
        const CommVerdict verdict = judgeComm(comm, names[i]);
        if (verdict == CommVerdict::Equals)
            equal = i;
        mayBeCut = mayBeCut || verdict == CommVerdict::MayBeCut;
    }
    if (!equal && !mayBeCut)
        return std::nullopt;

    // Kernel threads and zombies have an empty command line: neither is a
    // program that could be asked to close.
    std::array<char, 4096> cmdBuf{};
    const long cmdLen = readProcFile(procFd, path.leaf("cmdline"), cmdBuf.data(), cmdBuf.size(), Reads::UntilEnd);
    if (cmdLen <= 0)
        return std::nullopt;
    if (equal)
        return equal;

    const auto named = [names](std::string_view candidate) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!names[i].empty() && equalsIgnoringCase(candidate, names[i]))
                return i;
        }
        return std::nullopt;
    };
    // comm was cut. argv[0] holds the name a program was started under (and
    // the Windows path under Wine).
    std::string_view args(cmdBuf.data(), static_cast<std::size_t>(cmdLen));
    const auto nextArg = [&args] {
        const std::size_t end = std::min(args.find('\0'), args.size());
        const std::string_view arg = args.substr(0, end);
        args.remove_prefix(std::min(end + 1, args.size()));
        return baseName(arg);
    };
    const std::string_view argv0 = nextArg();
    if (const auto i = named(argv0))
        return i;
    // A #! script is named in comm but runs with its interpreter as argv[0],
    // followed by at most one interpreter argument, then the script's path.
    // An argv[0] that begins like comm is no interpreter: its arguments are
    // only arguments.
    if (argv0.size() < kCommMax || !equalsIgnoringCase(argv0.substr(0, kCommMax), comm)) {
        for (int n = 0; n < 2 && !args.empty(); ++n) {
            if (const auto i = named(nextArg()))
                return i;
        }
    }

    // A program started under some other argv[0]: its executable's name, even
    // when that file has since been replaced or deleted.
    std::array<char, PATH_MAX> exeBuf{};
    const ssize_t exeLen = ::readlinkat(procFd, path.leaf("exe"), exeBuf.data(), exeBuf.size());
    if (exeLen <= 0)
        return std::nullopt;
    std::string_view exe(exeBuf.data(), static_cast<std::size_t>(exeLen));
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.substr(exe.size() - kDeleted.size()) == kDeleted)
        exe.remove_suffix(kDeleted.size());
    return named(baseName(exe));
}

// How many pidfds one walk may open, leaving room for the files the walk
// itself reads and for whatever the caller does next. Under the usual limit
// of 1024 open files a sweep may meet more programs of one name than that.
std::size_t pidfdBudget()
{
    constexpr std::size_t kReserve = 32;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return SIZE_MAX;
    std::size_t open = 0;
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (::readdir(fds) != nullptr)
            ++open;
        ::closedir(fds);
    }
    const auto soft = static_cast<std::size_t>(limit.rlim_cur);
    return soft > open + kReserve ? soft - open - kReserve : 1;
}

bool parsePid(const char* text, long& pid)
{
    const char* end = text + std::strlen(text);
    if (text == end || *text < '1' || *text > '9')
        return false;
    const auto [ptr, ec] = std::from_chars(text, end, pid);
    return ec == std::errc() && ptr == end;
}

}  // namespace

void RunningProcess::release() noexcept
{
    wine::stopAsking(pending_);
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = -1;
}

CloseRequest RunningProcess::requestClose()
{
    if (hasExited())
        return CloseRequest::Gone;
    // Wine gives a Windows program no SIGTERM handler: the signal would end
    // it on the spot, unsaved work and all.
    if (wine::hosts(pid_)) {
        wine::stopAsking(pending_);
        const CloseRequest request = wine::startAsking(pid_, pending_);
        // What was read of /proc was this program's only if it still runs:
        // its pid cannot have been reused while it did.
        if (request == CloseRequest::Pending && hasExited()) {
            wine::stopAsking(pending_);
            return CloseRequest::Gone;
        }
        return request;
    }
    if (pidfdSendSignal(handle_, SIGTERM))
        return CloseRequest::Sent;
    return errno == ESRCH ? CloseRequest::Gone : CloseRequest::NotAllowed;
}

CloseRequest RunningProcess::closeRequestAnswer()
{
    return wine::answerOf(pending_);
}

void RunningProcess::abandonCloseRequest()
{
    wine::stopAsking(pending_);
}

bool RunningProcess::forceClose()
{
    return pidfdSendSignal(handle_, SIGKILL);
}

bool RunningProcess::hasExited() const
{
    if (handle_ < 0)
        return true;
    pollfd pfd{static_cast<int>(handle_), POLLIN, 0};
    int r = 0;
    do {
        r = ::poll(&pfd, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

namespace walk {

struct Listing::State {
    std::span<const std::string_view> names;
    DIR* dir = nullptr;
    long self = 0;
    std::string current;  // the pid's folder name in /proc
    // Counting the open files costs a walk of its own: only a walk that has
    // already met many matching programs asks.
    std::size_t budget = SIZE_MAX;
};

Listing::Listing(std::span<const std::string_view> names) : state_(std::make_unique<State>())
{
    state_->names = names;
    state_->dir = ::opendir("/proc");
    state_->self = static_cast<long>(::getpid());
}

Listing::~Listing()
{
    if (state_->dir != nullptr)
        ::closedir(state_->dir);
}

bool Listing::next(long& pid, std::size_t& name)
{
    if (state_->dir == nullptr)
        return false;
    while (const dirent* entry = ::readdir(state_->dir)) {
        if (!parsePid(entry->d_name, pid) || pid == state_->self)
            continue;
        if (const auto named = nameOf(::dirfd(state_->dir), entry->d_name, state_->names)) {
            name = *named;
            state_->current = entry->d_name;
            return true;
        }
    }
    return false;
}

Opened Listing::open(long pid, std::size_t name, std::size_t held, RunningProcess& process)
{
    constexpr std::size_t kCountFrom = 16;
    if (held == kCountFrom)
        state_->budget = pidfdBudget();
    if (held >= state_->budget)
        return Opened::NoRoom;
    const int pidfd = pidfdOpen(pid);
    if (pidfd < 0) {
        if (errno == EMFILE || errno == ENFILE)
            return Opened::NoRoom;
        return errno == ESRCH ? Opened::Gone : Opened::Refused;
    }
    process = RunningProcess(pid, pidfd, name);
    // The pid may have been reused between the look and the open, and the
    // pidfd holds whatever runs there now.
    if (nameOf(::dirfd(state_->dir), state_->current, state_->names) != name)
        return Opened::Gone;
    return Opened::Yes;
}

}  // namespace walk

bool waitForExit(std::span<RunningProcess> procs, std::chrono::milliseconds timeout)
{
    using Clock = std::chrono::steady_clock;
    // The processes first, then the pipes of the askers still to answer.
    std::vector<pollfd> waiting;
    waiting.reserve(2 * procs.size());
    for (const RunningProcess& p : procs) {
        if (p.handle_ >= 0)
            waiting.push_back(pollfd{static_cast<int>(p.handle_), POLLIN, 0});
    }
    std::size_t processes = waiting.size();
    for (const RunningProcess& p : procs) {
        if (p.pending_.asker != 0)
            waiting.push_back(pollfd{static_cast<int>(p.pending_.answers), POLLIN, 0});
    }

    const Clock::time_point deadline = Clock::now() + timeout;
    while (processes > 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int ms = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
        const int ready = ::poll(waiting.data(), waiting.size(), ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;  // the time is up, or poll itself failed
        if (std::any_of(waiting.begin() + static_cast<std::ptrdiff_t>(processes), waiting.end(),
                        [](const pollfd& p) { return p.revents != 0; }))
            return true;
        // A pidfd becomes readable when its process has ended.
        const auto firstAsker = waiting.begin() + static_cast<std::ptrdiff_t>(processes);
        const auto ended = std::remove_if(waiting.begin(), firstAsker, [](const pollfd& p) { return p.revents != 0; });
        waiting.erase(ended, firstAsker);
        processes = static_cast<std::size_t>(ended - waiting.begin());
    }
    return false;
}

}  // namespace adv::platform
