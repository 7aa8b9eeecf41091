// How long one TerminateProcessesByName call takes when nothing matches, that
// is the cost of the walk, with 100, 1000 and 3000 idle processes running.
// Shown beside
//   floor: a bare walk of /proc that reads each process's comm and nothing else;
//   pkill: `pkill -x NAME`, the whole command, started and waited for.
//
//   adv_terminate_bench [--repeats N] [SIZE...]     (defaults: 42; 100 1000 3000)
//
// The idle processes are children of this program: they are killed on the way
// out, die with it if it is killed, and end by themselves after 15 minutes.
#include "process/DoroDave.h"
#include "tests/support/Spawn.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Set by SIGINT/SIGTERM: the run stops at the next step and unwinds, so that
// the idle processes are killed and the temporary folder removed.
volatile std::sig_atomic_t gStop = 0;

extern "C" void requestStop(int)
{
    gStop = 1;
}

void checkStop()
{
    if (gStop != 0)
        throw std::runtime_error("interrupted");
}
namespace t = adv::test;

// The least any walk must do: list /proc, read one small file per process.
int bareWalk(std::string_view name)
{
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr)
        return -1;
    const int procFd = ::dirfd(dir);
    int matches = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        char path[64];
        const std::size_t len = std::strlen(e->d_name);
        if (len > 20)
            continue;
        std::memcpy(path, e->d_name, len);
        std::memcpy(path + len, "/comm", 6);
        const int fd = ::openat(procFd, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char comm[64];
        ssize_t n = ::read(fd, comm, sizeof comm);
        ::close(fd);
        if (n > 0 && comm[n - 1] == '\n')
            --n;
        if (n == static_cast<ssize_t>(name.size()) && std::memcmp(comm, name.data(), name.size()) == 0)
            ++matches;
    }
    ::closedir(dir);
    return matches;
}

// Runs `pkill -x name` and returns its exit status (1: nothing matched).
int runPkill(const std::string& name)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string arg0 = "pkill", arg1 = "-x", arg2 = name;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, "pkill", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error(std::string("cannot start pkill: ") + std::strerror(rc));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <typename F>
double micros(F&& f)
{
    const auto begin = Clock::now();
    f();
    return std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t mid = v.size() / 2;
    return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

int countProcesses()
{
    int n = 0;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr)
        return -1;
    while (const dirent* e = ::readdir(dir))
        n += e->d_name[0] >= '1' && e->d_name[0] <= '9';
    ::closedir(dir);
    return n;
}

int run(int repeats, const std::vector<std::size_t>& sizes)
{
    const t::TempDir dir;
    const std::string idleProgram =
        t::installAs(t::childProgram(), dir.path(), t::uniqueName("idle", ""), t::Placement::Symlink);
    // Short enough for comm, so that pkill -x can find it too.
    const std::string absent = t::uniqueName("n");
    const std::string_view absentNames[] = {absent};
    // Nothing matches, so the grace is never waited.
    constexpr std::chrono::seconds kGrace{3};

    std::printf("one call matching nothing (%s); median of %d runs, microseconds\n", absent.c_str(), repeats);
    std::printf("%8s %10s %12s %12s %12s %10s %10s\n", "idle", "processes", "terminator", "floor", "pkill -x",
                "vs floor", "vs pkill");

    std::vector<t::Child> idle;
    for (std::size_t size : sizes) {
        while (idle.size() < size) {
            t::SpawnOptions options;
            options.program = idleProgram;
            options.args = {"--life", "900"};
            idle.push_back(t::spawn(options));
            checkStop();
        }
        // Warm the caches of all three once before timing.
        adv::TerminateProcessesByName(absentNames, kGrace);
        bareWalk(absent);
        runPkill(absent);

        std::vector<double> ours, floor, pkill;
        std::array<int, 3> order = {0, 1, 2};
        for (int i = 0; i < repeats; ++i) {
            adv::TerminateReport report;
            int status = 0;
            // Every order in turn, so that each follows each other equally
            // often: whatever runs right after pkill shares the machine with
            // the end of the pkill process.
            std::next_permutation(order.begin(), order.end());
            for (int k : order) {
                switch (k) {
                case 0:
                    ours.push_back(micros([&] { report = adv::TerminateProcessesByName(absentNames, kGrace); }));
                    break;
                case 1: floor.push_back(micros([&] { bareWalk(absent); })); break;
                default: pkill.push_back(micros([&] { status = runPkill(absent); })); break;
                }
            }
            checkStop();
            if (report.closed + report.forced != 0 || !report.left.empty() || status != 1)
                throw std::runtime_error("something matched " + absent);
        }
        const double o = median(ours), f = median(floor), p = median(pkill);
        std::printf("%8zu %10d %12.0f %12.0f %12.0f %9.2fx %9.2fx\n", size, countProcesses(), o, f, p, o / f, o / p);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int repeats = 42;
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--repeats" && i + 1 < argc)
            repeats = std::max(1, std::atoi(argv[++i]));
        else if (std::atol(argv[i]) > 0)
            sizes.push_back(static_cast<std::size_t>(std::atol(argv[i])));
        else {
            std::fprintf(stderr, "usage: %s [--repeats N] [SIZE...]\n", argv[0]);
            return 2;
        }
    }
    if (sizes.empty())
        sizes = {100, 1000, 3000};
    std::sort(sizes.begin(), sizes.end());
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    try {
        return run(repeats, sizes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "adv_terminate_bench: %s\n", e.what());
        return 1;
    }
}
