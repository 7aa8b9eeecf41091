// Closing programs by name, against real children with names no other
// process carries.
#include "process/DoroDave.h"
#include "platform/ProcessTable.h"
#include "tests/support/Spawn.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
using adv::TerminateProcessesByName;
using adv::TerminateReport;
using Clock = std::chrono::steady_clock;
namespace t = adv::test;

// What a call did, (closed, forced, left): which pids a run meets is the
// machine's business.
using Counts = std::tuple<int, int, int>;

Counts report(int closed, int forced, int left)
{
    return {closed, forced, left};
}

Counts counts(const TerminateReport& r)
{
    return {r.closed, r.forced, static_cast<int>(r.left.size())};
}

// The programs of one name; 3 s is close_grace_s's default.
TerminateReport terminate(std::string_view name, std::chrono::milliseconds grace = 3s)
{
    return TerminateProcessesByName(std::span(&name, 1), grace);
}

class Terminate : public testing::Test {
protected:
    t::Child start(const std::string& name, std::vector<std::string> args = {})
    {
        return t::spawnNamed(dir_.path(), name, std::move(args));
    }
    std::string file(std::string_view leaf) const { return dir_.file(leaf); }
    const std::string& dir() const { return dir_.path(); }

private:
    t::TempDir dir_;
};

TEST_F(Terminate, ProgramThatClosesWhenAskedIsNotForced)
{
    const std::string name = t::uniqueName("mk");
    const std::string marker = file("closed");
    t::Child child = start(name, {"--on-term", "marker:" + marker});

    const auto begin = Clock::now();
    EXPECT_EQ(counts(terminate(name)), report(1, 0, 0));
    EXPECT_LT(Clock::now() - begin, 2s) << "waited although the program had closed";

    ASSERT_TRUE(child.waitExit(0ms)) << child.describe();
    EXPECT_TRUE(child.exitedWith(0)) << child.describe();
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST_F(Terminate, ZeroGraceForcesWithoutAsking)
{
    const std::string name = t::uniqueName("zg");
    const std::string marker = file("closed");
    t::Child child = start(name, {"--on-term", "marker:" + marker});

    const auto begin = Clock::now();
    const adv::TerminateReport ended = terminate(name, 0ms);
    EXPECT_EQ(counts(ended), report(0, 1, 0));
    EXPECT_LT(Clock::now() - begin, 500ms);
    ASSERT_EQ(ended.overdue.size(), 1U) << "named as forced";
    EXPECT_EQ(ended.overdue[0].pid, child.pid());

    ASSERT_TRUE(child.waitExit(0ms)) << child.describe();
    EXPECT_TRUE(child.killedBy(SIGKILL)) << child.describe();
    EXPECT_FALSE(std::filesystem::exists(marker)) << "it was asked first";
}

// More programs of one name than the process may hold open files: every one
// is still closed, in batches, and none goes unreported.
TEST_F(Terminate, MoreProgramsThanOpenFilesAreAllClosed)
{
    constexpr int kPrograms = 300;
    constexpr rlim_t kFileLimit = 128;
    const std::string name = t::uniqueName("many");
    std::vector<t::Child> children;
    children.reserve(kPrograms);
    for (int i = 0; i < kPrograms; ++i)
        children.push_back(start(name));

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min(kFileLimit, saved.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const TerminateReport closed = terminate(name);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    EXPECT_EQ(counts(closed), report(kPrograms, 0, 0));
    for (t::Child& c : children)
        EXPECT_TRUE(c.waitExit(2s)) << c.describe();
}

TEST_F(Terminate, EveryInstanceIsClosedInOneCall)
{
    const std::string name = t::uniqueName("th");
    std::vector<t::Child> children;
    for (int i = 0; i < 3; ++i)
        children.push_back(start(name));

    EXPECT_EQ(counts(terminate(name)), report(3, 0, 0));
    for (t::Child& c : children) {
        ASSERT_TRUE(c.waitExit(0ms)) << c.describe();
        EXPECT_TRUE(c.killedBy(SIGTERM)) << c.describe();
    }
}

// All names are asked at once and the grace is shared: programs that do not
// close cost one grace in all, not one each, whatever their names.
TEST_F(Terminate, GraceRunsForAllNamesTogether)
{
    const std::string marker = file("closed");
    std::vector<std::string> names;
    std::vector<t::Child> children;
    for (int i = 0; i < 5; ++i) {
        names.push_back(t::uniqueName("gr"));
        children.push_back(start(names.back(), {"--on-term", i == 0 ? "marker:" + marker : "ignore"}));
    }
    const std::vector<std::string_view> asked(names.begin(), names.end());

    const auto begin = Clock::now();
    EXPECT_EQ(counts(TerminateProcessesByName(asked, 1s)), report(1, 4, 0));
    const auto took = Clock::now() - begin;
    EXPECT_GE(took, 1s);
    EXPECT_LT(took, 2s);

    EXPECT_TRUE(children[0].waitExit(0ms) && children[0].exitedWith(0)) << children[0].describe();
    for (std::size_t i = 1; i < children.size(); ++i) {
        ASSERT_TRUE(children[i].waitExit(0ms)) << children[i].describe();
        EXPECT_TRUE(children[i].killedBy(SIGKILL)) << children[i].describe();
    }
}

// A program that starts another under its name when asked (without fd 3, the spawner's
// closed readiness pipe) is asked again, and the third time forced: nothing is left.
TEST_F(Terminate, AProgramThatStartsAgainWhenAskedIsGoneAfterTheCall)
{
    const std::string name = t::uniqueName("rs");
    t::SpawnOptions options;
    options.program = t::writeExecutable(
        dir(), name,
        "#!/bin/sh\ntrap '\"$0\" 3>&- & sleep 0.3; exit 0' TERM\nprintf R >&3 2>/dev/null\nexec 3>&-\n"
        "i=0; while [ $i -lt 200 ]; do sleep 0.1; i=$((i+1)); done\n");
    t::Child child = t::spawn(options);

    const TerminateReport r = terminate(name, 1s);
    EXPECT_GE(r.closed + r.forced, 2) << testing::PrintToString(counts(r));
    EXPECT_TRUE(r.left.empty());
    const std::string_view names[] = {name};
    EXPECT_TRUE(adv::platform::openProcessesNamed(names).processes.empty());
}

// Only the exact name, in any letter case; names that merely end with it, or
// begin with it, stay running.
TEST_F(Terminate, OnlyTheExactNameInAnyCase)
{
    const std::string token = t::uniqueName("", "");
    const std::string asked = token + ".exe";
    t::Child same = start(token + ".exe");
    t::Child upper = start(token + ".EXE");
    std::vector<t::Child> others;
    for (const std::string& other : {"k" + token + ".exe", token + "a.exe", token + "2.exe", token + ".ex"})
        others.push_back(start(other));

    EXPECT_EQ(counts(terminate(asked)), report(2, 0, 0));
    EXPECT_TRUE(same.waitExit(0ms) && same.killedBy(SIGTERM)) << same.describe();
    EXPECT_TRUE(upper.waitExit(0ms) && upper.killedBy(SIGTERM)) << upper.describe();
    for (t::Child& c : others)
        EXPECT_TRUE(c.running()) << c.describe();
}

TEST_F(Terminate, LongNameIsMatchedInFull)
{
    const std::string token = t::uniqueName("", "");
    const std::string asked = token + "-a-long-program-name.exe";
    t::Child target = start(asked);
    t::Child sibling = start(token + "-a-long-program-nome.exe");

    EXPECT_EQ(counts(terminate(asked)), report(1, 0, 0));
    EXPECT_TRUE(target.waitExit(0ms) && target.killedBy(SIGTERM)) << target.describe();
    EXPECT_TRUE(sibling.running()) << sibling.describe();
}

TEST_F(Terminate, EmptyNameDoesNothing)
{
    t::Child child = start(t::uniqueName("em"));
    EXPECT_EQ(counts(terminate("", 0ms)), report(0, 0, 0));
    EXPECT_TRUE(child.running()) << child.describe();
}

TEST_F(Terminate, EndedProgramIsNotCounted)
{
    const std::string name = t::uniqueName("zo");
    t::Child child = start(name, {"--exit-after-ms", "0"});
    ASSERT_TRUE(child.waitZombie());
    EXPECT_EQ(counts(terminate(name, 300ms)), report(0, 0, 0));
    EXPECT_TRUE(child.waitExit(0ms) && child.exitedWith(0)) << child.describe();
}

// The updater itself may carry the very name it is asked to close.
TEST_F(Terminate, NeverTheCallingProcess)
{
    if (::syscall(SYS_gettid) != ::getpid())
        GTEST_SKIP() << "not on the main thread: cannot rename the process";
    const std::string name = t::uniqueName("se");
    t::Child child = start(name);

    char ownName[16] = {};
    ASSERT_EQ(::prctl(PR_GET_NAME, ownName), 0);
    ASSERT_EQ(::prctl(PR_SET_NAME, name.c_str()), 0);
    const TerminateReport got = terminate(name, 300ms);
    ::prctl(PR_SET_NAME, ownName);

    EXPECT_EQ(counts(got), report(1, 0, 0));
    EXPECT_TRUE(child.waitExit(0ms) && child.killedBy(SIGTERM)) << child.describe();
}

// A program of another user cannot be closed by an unprivileged updater: it
// is counted and left alone, and the walk goes on to the next one, which is
// the updater's own.
TEST_F(Terminate, ProgramWeMayNotSignalIsCountedAndPassedOver)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to start a program that an unprivileged process may not signal";
    const std::string name = t::uniqueName("np");
    t::Child foreign = start(name);              // root's, and first in the walk
    ASSERT_EQ(::chmod(dir().c_str(), 0755), 0);  // for the unprivileged side

    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t worker = ::fork();
    ASSERT_GE(worker, 0);
    if (worker == 0) {
        // The unprivileged updater: starts a program of its own under the
        // same name, then closes that name.
        ::close(pipeFds[0]);
        int result[4] = {0, 0, 0, 0};
        constexpr gid_t kNobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            result[0] = 1;
        } else {
            try {
                t::Child own = t::spawnNamed(dir(), name);
                const TerminateReport r = terminate(name, 300ms);
                result[1] = r.closed;
                result[2] = r.forced;
                result[3] = static_cast<int>(r.left.size());
                result[0] = own.waitExit(0ms) && own.killedBy(SIGTERM) ? 0 : 2;
            } catch (const std::exception&) {
                result[0] = 3;
            }
        }
        [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], result, sizeof result);
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    int result[4] = {-1, -1, -1, -1};
    const ssize_t got = ::read(pipeFds[0], result, sizeof result);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(worker, &status, 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof result));
    if (result[0] == 1)
        GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
    ASSERT_NE(result[0], 3) << "the unprivileged side could not start its program";

    EXPECT_EQ(report(result[1], result[2], result[3]), report(1, 0, 1));
    EXPECT_EQ(result[0], 0) << "its own program was not closed";
    EXPECT_TRUE(foreign.running()) << foreign.describe();
}

// Programs start and end all the while the table is walked. Only the asked
// name is ever closed, and nothing else is disturbed.
TEST_F(Terminate, ChurnNeverDisturbsOthers)
{
    const std::string token = t::uniqueName("", "");
    const std::string asked = token + ".exe";
    const std::vector<std::string> churnNames = {"k" + token + ".exe", token + "a.exe", token + ".ex",
                                                 token + "-a-long-program-name.exe"};

    std::atomic<bool> stop{false};
    std::atomic<int> churned{0};
    std::mutex mutex;
    std::vector<std::string> disturbed;
    std::vector<std::string> churnPrograms;
    for (const std::string& n : churnNames)
        churnPrograms.push_back(t::installAs(t::childProgram(), dir(), n));
    std::thread churn([&] {
        std::minstd_rand random(42);
        try {
            while (!stop) {
                std::vector<t::Child> batch;
                for (const std::string& program : churnPrograms) {
                    // Half of them are not waited for: caught by the walk
                    // before, during or after their exec.
                    t::SpawnOptions options;
                    options.program = program;
                    options.args = {"--exit-after-ms", std::to_string(random() % 20)};
                    options.waitReady = random() % 2 == 0;
                    batch.push_back(t::spawn(options));
                }
                for (t::Child& c : batch) {
                    if (!c.waitExit(5s) || !c.exitedWith(0)) {
                        const std::lock_guard lock(mutex);
                        disturbed.push_back(c.describe());
                    }
                    ++churned;
                }
            }
        } catch (const std::exception& e) {
            const std::lock_guard lock(mutex);
            disturbed.push_back(std::string("churn stopped: ") + e.what());
        }
    });

    const std::string target = t::installAs(t::childProgram(), dir(), asked);
    try {
        for (int i = 0; i < 40; ++i) {
            const bool ignores = i % 2 == 1;
            t::SpawnOptions options;
            options.program = target;
            if (ignores)
                options.args = {"--on-term", "ignore"};
            t::Child child = t::spawn(options);
            const TerminateReport r = terminate(asked, ignores ? 50ms : 2s);
            EXPECT_EQ(counts(r), ignores ? report(0, 1, 0) : report(1, 0, 0)) << "round " << i;
            EXPECT_TRUE(child.waitExit(0ms)) << child.describe();
        }
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    stop = true;
    churn.join();

    EXPECT_GT(churned.load(), 40);
    for (const std::string& d : disturbed)
        ADD_FAILURE() << "a child that was not asked for ended so: " << d;
}

}  // namespace
