// The handles the process table gives out: they keep naming the process they
// were opened on, and waiting on them sleeps until the processes end.
#include "platform/ProcessTable.h"
#include "tests/support/Spawn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <vector>

namespace {

using namespace std::chrono_literals;
using adv::platform::RunningProcess;
using adv::platform::waitForExit;
using Clock = std::chrono::steady_clock;
namespace t = adv::test;

// The walk for one name.
adv::platform::ProcessWalk walkFor(std::string_view name)
{
    return adv::platform::openProcessesNamed(std::span(&name, 1));
}

std::vector<RunningProcess> openOne(const std::string& name)
{
    std::vector<RunningProcess> found = walkFor(name).processes;
    EXPECT_EQ(found.size(), 1U) << name;
    return found;
}

TEST(ProcessTable, HandleSeesItsProcessEnd)
{
    const t::TempDir dir;
    const std::string name = t::uniqueName("he");
    t::Child child = t::spawnNamed(dir.path(), name);
    auto procs = openOne(name);
    ASSERT_EQ(procs.size(), 1U);
    EXPECT_FALSE(procs[0].hasExited());

    child.kill();
    EXPECT_TRUE(procs[0].hasExited());
}

// Once a process is gone and reaped, its handle signals nothing, whatever
// now runs under its pid.
TEST(ProcessTable, HandleOfAReapedProcessCannotSignal)
{
    const t::TempDir dir;
    const std::string name = t::uniqueName("re");
    t::Child child = t::spawnNamed(dir.path(), name);
    auto procs = openOne(name);
    ASSERT_EQ(procs.size(), 1U);

    child.kill();
    EXPECT_EQ(procs[0].requestClose(), adv::platform::CloseRequest::Gone);
    EXPECT_FALSE(procs[0].forceClose());
}

TEST(ProcessTable, MovedHandleKeepsTheProcess)
{
    const t::TempDir dir;
    const std::string name = t::uniqueName("mv");
    t::Child child = t::spawnNamed(dir.path(), name, {"--on-term", "exit"});
    auto procs = openOne(name);
    ASSERT_EQ(procs.size(), 1U);

    RunningProcess moved = std::move(procs[0]);
    RunningProcess assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.pid(), child.pid());
    EXPECT_EQ(assigned.requestClose(), adv::platform::CloseRequest::Sent);
    ASSERT_TRUE(child.waitExit(5s));
    EXPECT_TRUE(child.exitedWith(0)) << child.describe();
}

TEST(ProcessTable, WaitEndsWhenTheLastProcessEnds)
{
    const t::TempDir dir;
    const std::string name = t::uniqueName("we");
    t::Child quick = t::spawnNamed(dir.path(), name, {"--exit-after-ms", "100"});
    t::Child slow = t::spawnNamed(dir.path(), name, {"--exit-after-ms", "400"});
    auto procs = walkFor(name).processes;
    ASSERT_EQ(procs.size(), 2U);

    const auto start = Clock::now();
    waitForExit(procs, 10s);
    const auto took = Clock::now() - start;

    EXPECT_TRUE(procs[0].hasExited());
    EXPECT_TRUE(procs[1].hasExited());
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
}

TEST(ProcessTable, WaitGivesUpAtTheTimeout)
{
    const t::TempDir dir;
    const std::string name = t::uniqueName("wt");
    t::Child child = t::spawnNamed(dir.path(), name);
    auto procs = openOne(name);
    ASSERT_EQ(procs.size(), 1U);

    const auto start = Clock::now();
    waitForExit(procs, 250ms);
    const auto took = Clock::now() - start;

    EXPECT_FALSE(procs[0].hasExited());
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 1250ms);
    EXPECT_TRUE(child.running());
}

TEST(ProcessTable, WaitOnNothingReturnsAtOnce)
{
    const auto start = Clock::now();
    waitForExit({}, 5s);
    EXPECT_LT(Clock::now() - start, 1s);
}

}  // namespace
