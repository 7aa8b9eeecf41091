#include "tests/support/Spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace adv::test {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what, int err)
{
    throw std::runtime_error(what + ": " + std::strerror(err));
}

std::string hex(unsigned long value)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value % 16]);
        value /= 16;
    } while (value != 0);
    return text;
}

}  // namespace

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/adv-test-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr)
        fail("mkdtemp " + templ, errno);
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::file(std::string_view leaf) const
{
    return path_ + "/" + std::string(leaf);
}

std::string uniqueName(std::string_view stem, std::string_view ext)
{
    // The pid makes it unique among the processes running now; the counter
    // within this process; the random part against leftovers of earlier runs.
    static std::atomic<unsigned long> counter{0};
    static const unsigned long salt = std::random_device{}() % 256;
    return std::string(stem) + hex(static_cast<unsigned long>(::getpid())) + hex(salt) + "x" +
           hex(counter.fetch_add(1)) + std::string(ext);
}

std::string childProgram()
{
    return ADV_SPAWN_CHILD;
}

std::string installAs(const std::string& program, const std::string& dir, std::string_view name, Placement how)
{
    const std::string target = dir + "/" + std::string(name);
    std::error_code ec;
    if (fs::exists(fs::symlink_status(target, ec)))
        return target;  // placed by an earlier call: several instances share it
    if (how == Placement::Symlink) {
        fs::create_symlink(program, target, ec);
        if (ec)
            throw std::runtime_error("cannot place " + program + " as " + target + ": " + ec.message());
        return target;
    }
    // Copied by hand with close-on-exec descriptors: a child spawned by
    // another thread meanwhile must not inherit the file open for writing,
    // or executing the copy fails with ETXTBSY for as long as that child runs.
    const int in = ::open(program.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        fail("open " + program, errno);
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        fail("create " + target, err);
    }
    char buf[65536];
    ssize_t n = 0;
    while ((n = ::read(in, buf, sizeof buf)) > 0) {
        if (::write(out, buf, static_cast<std::size_t>(n)) != n) {
            n = -1;
            break;
        }
    }
    const int err = errno;
    ::close(in);
    if (::close(out) != 0 || n < 0)
        fail("copy " + program + " to " + target, err);
    return target;
}

std::string writeExecutable(const std::string& dir, std::string_view name, std::string_view text)
{
    const std::string path = dir + "/" + std::string(name);
    // Close-on-exec for the reason given in installAs().
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (out < 0)
        fail("create " + path, errno);
    const bool written = ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int err = errno;
    if (::close(out) != 0 || !written)
        fail("write " + path, err);
    return path;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), reaped_(other.reaped_), status_(other.status_)
{
}

Child& Child::operator=(Child&& other) noexcept
{
    if (this != &other) {
        kill();
        pid_ = std::exchange(other.pid_, -1);
        reaped_ = other.reaped_;
        status_ = other.status_;
    }
    return *this;
}

Child::~Child()
{
    kill();
}

void Child::reapNow()
{
    int status = 0;
    pid_t r = 0;
    do {
        r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    reaped_ = true;
    status_ = r == pid_ ? status : 0;
}

bool Child::running()
{
    if (pid_ <= 0 || reaped_)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = status;
    } else if (r < 0 && errno == ECHILD) {
        reaped_ = true;  // not ours to wait for; treat as gone
    }
    return !reaped_;
}

bool Child::waitExit(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0 || reaped_)
        return true;
    // The child is ours and unreaped, so its pid cannot be reused meanwhile.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0U));
    if (pidfd >= 0) {
        pollfd pfd{pidfd, POLLIN, 0};
        int r = 0;
        do {
            r = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
        } while (r < 0 && errno == EINTR);
        ::close(pidfd);
        if (r <= 0)
            return false;
        reapNow();
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool Child::waitZombie()
{
    if (pid_ <= 0 || reaped_)
        return false;
    siginfo_t info{};
    int r = 0;
    do {
        r = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    return r == 0;
}

void Child::kill()
{
    if (pid_ <= 0 || reaped_)
        return;
    ::kill(pid_, SIGKILL);
    reapNow();
}

bool Child::exitedWith(int code) const
{
    return reaped_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code;
}

bool Child::killedBy(int signal) const
{
    return reaped_ && WIFSIGNALED(status_) && WTERMSIG(status_) == signal;
}

std::string Child::describe() const
{
    if (!reaped_)
        return "running (pid " + std::to_string(pid_) + ")";
    if (WIFEXITED(status_))
        return "exited " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_))
        return "killed by signal " + std::to_string(WTERMSIG(status_));
    return "ended, status " + std::to_string(status_);
}

Child spawn(const SpawnOptions& options)
{
    int ready[2] = {-1, -1};
    if (options.waitReady) {
        if (::pipe2(ready, O_CLOEXEC) != 0)
            fail("pipe2", errno);
        // Above 3, so that the dup2() onto fd 3 below always happens and
        // clears close-on-exec on the child's copy.
        if (ready[1] <= 3) {
            const int moved = ::fcntl(ready[1], F_DUPFD_CLOEXEC, 4);
            const int err = errno;
            ::close(ready[1]);
            ready[1] = moved;
            if (moved < 0) {
                ::close(ready[0]);
                fail("fcntl", err);
            }
        }
    }

    std::vector<std::string> argvText;
    argvText.push_back(options.argv0.value_or(options.program));
    argvText.insert(argvText.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& a : argvText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.waitReady)
        posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGINT, SIGPIPE, SIGALRM, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = 0;
    // A program written a moment ago may still be open for writing in a
    // child that another thread is starting: that passes once it has exec'd.
    for (int attempt = 0; attempt < 100; ++attempt) {
        rc = ::posix_spawn(&pid, options.program.c_str(), &actions, &attr, argv.data(), environ);
        if (rc != ETXTBSY)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (options.waitReady)
        ::close(ready[1]);
    if (rc != 0) {
        if (options.waitReady)
            ::close(ready[0]);
        fail("cannot start " + options.program, rc);
    }
    Child child(pid);
    if (!options.waitReady)
        return child;

    pollfd pfd{ready[0], POLLIN, 0};
    int r = 0;
    do {
        r = ::poll(&pfd, 1, static_cast<int>(options.readyTimeout.count()));
    } while (r < 0 && errno == EINTR);
    char byte = 0;
    const bool isReady = r > 0 && ::read(ready[0], &byte, 1) == 1 && byte == 'R';
    ::close(ready[0]);
    if (!isReady) {
        if (r <= 0)
            child.kill();
        else
            child.waitExit(std::chrono::milliseconds(2000));
        throw std::runtime_error(options.program + " did not report ready; " + child.describe());
    }
    return child;
}

Child spawnNamed(const std::string& dir, std::string_view name, std::vector<std::string> args, Placement how,
                 std::optional<std::string> argv0)
{
    SpawnOptions options;
    options.program = installAs(childProgram(), dir, name, how);
    options.args = std::move(args);
    options.argv0 = std::move(argv0);
    return spawn(options);
}

}  // namespace adv::test
