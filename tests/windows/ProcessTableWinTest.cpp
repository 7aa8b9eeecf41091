// The Windows process table against real processes: stand-ins started under
// unique names in the test's own folder.
#include "platform/ProcessTable.h"

#include "StandIns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ostream>
#include <set>

namespace {

using adv::platform::CloseRequest;
using adv::platform::RunningProcess;
using adv::platform::waitForExit;
using adv::test::StandIn;
using adv::test::StandInMode;
using adv::test::StandIns;
using adv::test::toUtf8;
using adv::test::uniqueTag;
using namespace std::chrono_literals;

constexpr auto kExitLimit = 10s;

// The walk for one name.
adv::platform::ProcessWalk walkFor(std::string_view name)
{
    return adv::platform::openProcessesNamed(std::span(&name, 1));
}

std::set<long> pidsOf(const std::vector<RunningProcess>& procs)
{
    std::set<long> pids;
    for (const RunningProcess& p : procs)
        pids.insert(p.pid());
    return pids;
}

std::chrono::milliseconds timeOf(auto&& action)
{
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(ProcessTableWin, OpensEveryInstanceOfTheName)
{
    StandIns standIns;
    const std::wstring name = L"dolvo_" + uniqueTag() + L".exe";
    std::set<long> started;
    for (int i = 0; i < 3; ++i)
        started.insert(static_cast<long>(standIns.start(name, StandInMode::Windowless).pid));

    const adv::platform::ProcessWalk walk = walkFor(toUtf8(name));
    const std::vector<RunningProcess>& found = walk.processes;

    EXPECT_EQ(pidsOf(found), started);
    EXPECT_TRUE(walk.unopenable.empty());
    EXPECT_FALSE(walk.more);
    for (const RunningProcess& p : found)
        EXPECT_FALSE(p.hasExited());
}

// The whole image name, in any letter case: never a part of it.
struct NameCase {
    const char* label;
    std::wstring running;  // "#" stands for a tag unique to the case
    std::wstring asked;
    bool opened;
};

void PrintTo(const NameCase& c, std::ostream* out)
{
    *out << c.label;
}

class ProcessTableWinNames : public testing::TestWithParam<NameCase> {};

std::wstring withTag(std::wstring pattern, const std::wstring& tag)
{
    pattern.replace(pattern.find(L'#'), 1, tag);
    return pattern;
}

TEST_P(ProcessTableWinNames, OpensOnlyTheWholeNameInAnyLetterCase)
{
    const NameCase& c = GetParam();
    StandIns standIns;
    const std::wstring tag = uniqueTag();
    const StandIn& standIn = standIns.start(withTag(c.running, tag), StandInMode::Windowless);

    const std::set<long> pids = pidsOf(walkFor(toUtf8(withTag(c.asked, tag))).processes);

    EXPECT_EQ(pids.contains(static_cast<long>(standIn.pid)), c.opened)
        << toUtf8(withTag(c.running, tag)) << " asked as " << toUtf8(withTag(c.asked, tag));
    EXPECT_TRUE(standIn.running());
}

INSTANTIATE_TEST_SUITE_P(Cases, ProcessTableWinNames,
                         testing::Values(NameCase{"same", L"kivo#.exe", L"kivo#.exe", true},
                                         NameCase{"askedUpper", L"kivo#.exe", L"KIVO#.EXE", true},
                                         NameCase{"runningMixed", L"KiVo#.ExE", L"kivo#.exe", true},
                                         NameCase{"askedIsSuffix", L"vidorikivo#.exe", L"kivo#.exe", false},
                                         NameCase{"askedIsLonger", L"kivo#.exe", L"xkivo#.exe", false},
                                         NameCase{"runningHasMore", L"lettovi#2.exe", L"lettovi#.exe", false},
                                         NameCase{"askedIsPrefix", L"kivo#.exe", L"kivo#", false}),
                         [](const testing::TestParamInfo<NameCase>& row) { return std::string(row.param.label); });

TEST(ProcessTableWin, OpensNothingForNamesThatCannotMatch)
{
    StandIns standIns;
    const std::wstring name = L"dolvo_" + uniqueTag() + L".exe";
    standIns.start(name, StandInMode::Windowless);

    std::string invalidUtf8(1, '\xff');
    invalidUtf8 += toUtf8(name);
    const std::string absent = "absent_" + toUtf8(name);
    for (const std::string& asked : {std::string(), invalidUtf8, absent}) {
        const adv::platform::ProcessWalk walk = walkFor(asked);
        EXPECT_TRUE(walk.processes.empty()) << asked;
        EXPECT_TRUE(walk.unopenable.empty());
    }
}

TEST(ProcessTableWin, NeverOpensTheCallingProcess)
{
    StandIns standIns;
    const std::wstring name = L"aggiornadv_" + uniqueTag() + L".exe";
    standIns.start(name, StandInMode::Windowless);

    // A second copy looks for its own name: it finds the first, never itself.
    const StandIn& prober = standIns.start(name, StandInMode::ProbeSelf);

    EXPECT_EQ(prober.markerText(), "1 0");
}

// WM_CLOSE reaches the program's top-level window whether it is shown or not.
class ProcessTableWinWindows : public testing::TestWithParam<StandInMode> {};

TEST_P(ProcessTableWinWindows, RequestCloseEndsAProgramThroughItsWindow)
{
    StandIns standIns;
    const StandIn& standIn = standIns.start(L"trevanto_" + uniqueTag() + L".exe", GetParam());
    std::vector<RunningProcess> found = walkFor(toUtf8(standIn.imageName)).processes;
    ASSERT_EQ(found.size(), 1u);

    EXPECT_EQ(found[0].requestClose(), CloseRequest::Sent);

    EXPECT_EQ(standIn.exitCodeWithin(kExitLimit), 0u);
    EXPECT_TRUE(standIn.wasAskedToClose());
    EXPECT_TRUE(found[0].hasExited());
}

INSTANTIATE_TEST_SUITE_P(Modes, ProcessTableWinWindows, testing::Values(StandInMode::Visible, StandInMode::Hidden),
                         [](const testing::TestParamInfo<StandInMode>& row) {
                             return toUtf8(adv::test::modeArgument(row.param));
                         });

TEST(ProcessTableWin, AProgramWithoutWindowCannotBeAsked)
{
    StandIns standIns;
    const StandIn& standIn = standIns.start(L"nodorep_" + uniqueTag() + L".exe", StandInMode::Windowless);
    std::vector<RunningProcess> found = walkFor(toUtf8(standIn.imageName)).processes;
    ASSERT_EQ(found.size(), 1u);

    // Waiting would be in vain: the caller ends it at once.
    EXPECT_EQ(found[0].requestClose(), CloseRequest::CannotBeAsked);

    EXPECT_EQ(standIn.exitCodeWithin(300ms), std::nullopt);
    EXPECT_FALSE(found[0].hasExited());
}

TEST(ProcessTableWin, ForceCloseEndsAProgramThatIgnoresTheRequest)
{
    StandIns standIns;
    const StandIn& standIn = standIns.start(L"orbaval_" + uniqueTag() + L".exe", StandInMode::Ignore);
    std::vector<RunningProcess> found = walkFor(toUtf8(standIn.imageName)).processes;
    ASSERT_EQ(found.size(), 1u);
    RunningProcess& process = found[0];

    EXPECT_EQ(process.requestClose(), CloseRequest::Sent);
    EXPECT_EQ(standIn.exitCodeWithin(300ms), std::nullopt);
    EXPECT_TRUE(standIn.wasAskedToClose());
    EXPECT_FALSE(process.hasExited());

    EXPECT_TRUE(process.forceClose());
    EXPECT_EQ(standIn.exitCodeWithin(kExitLimit), 0u);
    EXPECT_TRUE(process.hasExited());
    EXPECT_EQ(process.requestClose(), CloseRequest::Gone);
}

TEST(ProcessTableWin, WaitForExitReturnsOnceAllHaveEnded)
{
    StandIns standIns;
    const std::wstring name = L"ketra_" + uniqueTag() + L".exe";
    standIns.start(name, StandInMode::Hidden);
    standIns.start(name, StandInMode::Visible);
    std::vector<RunningProcess> found = walkFor(toUtf8(name)).processes;
    ASSERT_EQ(found.size(), 2u);

    for (RunningProcess& p : found)
        ASSERT_EQ(p.requestClose(), CloseRequest::Sent);
    const auto waited = timeOf([&] { waitForExit(found, kExitLimit); });

    EXPECT_LT(waited, kExitLimit);
    for (const RunningProcess& p : found)
        EXPECT_TRUE(p.hasExited());
}

TEST(ProcessTableWin, WaitForExitGivesUpAtTheTimeout)
{
    StandIns standIns;
    const StandIn& standIn = standIns.start(L"ketra_" + uniqueTag() + L".exe", StandInMode::Windowless);
    std::vector<RunningProcess> found = walkFor(toUtf8(standIn.imageName)).processes;
    ASSERT_EQ(found.size(), 1u);

    const auto waited = timeOf([&] { waitForExit(found, 300ms); });

    EXPECT_GE(waited, 290ms);
    EXPECT_LT(waited, 5s);
    EXPECT_TRUE(standIn.running());
}

// Events stand for processes here: the wait only sees handles, and seventy
// processes would make the test slow for nothing. Windows waits on at most 64
// handles at a time, so the late one sits in the second group.
class ManyHandles {
public:
    static constexpr std::size_t kCount = 70;
    static constexpr std::size_t kLate = 66;

    ManyHandles()
    {
        for (std::size_t i = 0; i < kCount; ++i) {
            const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            handles[i] = event;
            procs.emplace_back(static_cast<long>(i + 1), reinterpret_cast<std::intptr_t>(event));
        }
    }

    std::array<HANDLE, kCount> handles{};
    std::vector<RunningProcess> procs;
};

VOID CALLBACK endAllButTheLateOne(PVOID many, BOOLEAN)
{
    const auto& handles = static_cast<ManyHandles*>(many)->handles;
    for (std::size_t i = 0; i < handles.size(); ++i) {
        if (i != ManyHandles::kLate)
            SetEvent(handles[i]);
    }
}

VOID CALLBACK endTheLateOne(PVOID many, BOOLEAN)
{
    SetEvent(static_cast<ManyHandles*>(many)->handles[ManyHandles::kLate]);
}

TEST(ProcessTableWin, WaitForExitWaitsForEveryHandleBeyondSixtyFour)
{
    ManyHandles many;
    const auto timedOut = timeOf([&] { waitForExit(many.procs, 300ms); });
    EXPECT_GE(timedOut, 290ms);

    HANDLE early = nullptr;
    HANDLE late = nullptr;
    ASSERT_TRUE(CreateTimerQueueTimer(&early, nullptr, &endAllButTheLateOne, &many, 100, 0, WT_EXECUTEONLYONCE));
    ASSERT_TRUE(CreateTimerQueueTimer(&late, nullptr, &endTheLateOne, &many, 400, 0, WT_EXECUTEONLYONCE));
    const auto waited = timeOf([&] { waitForExit(many.procs, kExitLimit); });
    DeleteTimerQueueTimer(nullptr, early, INVALID_HANDLE_VALUE);
    DeleteTimerQueueTimer(nullptr, late, INVALID_HANDLE_VALUE);

    EXPECT_GE(waited, 350ms) << "returned before the late one in the second group had ended";
    EXPECT_LT(waited, kExitLimit);
    EXPECT_TRUE(
        std::all_of(many.procs.begin(), many.procs.end(), [](const RunningProcess& p) { return p.hasExited(); }));
}

bool isOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

TEST(ProcessTableWin, TheHandleIsClosedOnceByItsLastOwner)
{
    const HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        RunningProcess target;
        {
            RunningProcess source(1, reinterpret_cast<std::intptr_t>(first));
            target = std::move(source);
        }
        EXPECT_TRUE(isOpen(first)) << "the moved-from process closed the handle it gave away";
        EXPECT_EQ(target.pid(), 1);

        RunningProcess other(2, reinterpret_cast<std::intptr_t>(second));
        RunningProcess moved(std::move(other));
        target = std::move(moved);
        EXPECT_FALSE(isOpen(first)) << "assigning over a process must close its old handle";
        EXPECT_TRUE(isOpen(second));
        EXPECT_EQ(target.pid(), 2);
    }
    EXPECT_FALSE(isOpen(second));
}

TEST(ProcessTableWin, AnEmptyProcessIsNeverAskedNorForced)
{
    RunningProcess none;
    EXPECT_TRUE(none.hasExited());
    EXPECT_EQ(none.requestClose(), CloseRequest::Gone);
    EXPECT_FALSE(none.forceClose());
    // Its "no handle" must not be taken for this very process (-1 to Windows).
    std::vector<RunningProcess> procs;
    procs.push_back(std::move(none));
    const auto waited = timeOf([&] { waitForExit(procs, 2s); });
    EXPECT_LT(waited, 1s);
}

}  // namespace
