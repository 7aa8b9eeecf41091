// Closing programs by name on Windows, end to end: the shared policy over the
// Windows process table, against stand-ins started under unique names.
#include "process/DoroDave.h"

#include "StandIns.h"

#include <gtest/gtest.h>

#include <ostream>
#include <span>
#include <string_view>
#include <tuple>

namespace {

using adv::TerminateProcessesByName;
using adv::TerminateReport;
using adv::test::StandIn;
using adv::test::StandInMode;
using adv::test::StandIns;
using adv::test::toUtf8;
using adv::test::uniqueTag;
using namespace std::chrono_literals;

constexpr auto kExitLimit = 10s;
// Long enough for a stand-in that obeys to be gone well within it.
constexpr auto kPatientGrace = 10s;
constexpr auto kShortGrace = 300ms;

// What a call did, (closed, forced, left): which pids a run meets is the
// machine's business.
using Counts = std::tuple<int, int, int>;

Counts report(int closed, int forced)
{
    return {closed, forced, 0};
}

Counts counts(const TerminateReport& r)
{
    return {r.closed, r.forced, static_cast<int>(r.left.size())};
}

// The programs of one name.
TerminateReport terminate(std::string_view name, std::chrono::milliseconds grace, const adv::MayForce& mayForce = {})
{
    return TerminateProcessesByName(std::span(&name, 1), grace, mayForce);
}

struct ModeCase {
    const char* label;
    StandInMode mode;
    std::chrono::milliseconds grace;
    Counts expected;
    bool asked;  // the program saw WM_CLOSE
};

void PrintTo(const ModeCase& c, std::ostream* out)
{
    *out << c.label;
}

class TerminateWinModes : public testing::TestWithParam<ModeCase> {};

TEST_P(TerminateWinModes, EndsTheProgramAskingFirst)
{
    const ModeCase& c = GetParam();
    StandIns standIns;
    const StandIn& standIn = standIns.start(L"kivo_" + uniqueTag() + L".exe", c.mode);

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(counts(terminate(toUtf8(standIn.imageName), c.grace)), c.expected);
    if (!c.asked) {
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s) << "waited for a program that could not be asked";
    }

    // A forced program ends with exit code 0 too, as the old updater left it.
    EXPECT_EQ(standIn.exitCodeWithin(kExitLimit), 0u);
    EXPECT_EQ(standIn.wasAskedToClose(), c.asked);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TerminateWinModes,
    testing::Values(ModeCase{"VisibleWindowCloses", StandInMode::Visible, kPatientGrace, report(1, 0), true},
                    ModeCase{"HiddenWindowCloses", StandInMode::Hidden, kPatientGrace, report(1, 0), true},
                    ModeCase{"IgnoredRequestIsForced", StandInMode::Ignore, kShortGrace, report(0, 1), true},
                    ModeCase{"UnansweredQuestionIsForced", StandInMode::Asks, kShortGrace, report(0, 1), true},
                    ModeCase{"NoWindowIsForcedAtOnce", StandInMode::Windowless, kPatientGrace, report(0, 1), false},
                    ModeCase{"ZeroGraceForcesAtOnce", StandInMode::Visible, 0ms, report(0, 1), false}),
    [](const testing::TestParamInfo<ModeCase>& row) { return std::string(row.param.label); });

TEST(TerminateWin, AsksBeforeForcingOneThatShowsAQuestionEachGrace)
{
    StandIns standIns;
    const StandIn& s = standIns.start(L"notepad_" + uniqueTag() + L".exe", StandInMode::Asks);
    const StandIn& t = standIns.start(s.imageName, StandInMode::Asks);  // one question for both
    auto since = std::chrono::steady_clock::now();
    int asked = 0;
    const auto r = terminate(toUtf8(s.imageName), kShortGrace, [&](std::string_view name, long pid) {
        EXPECT_TRUE(name == toUtf8(s.imageName) &&
                    (pid == static_cast<long>(s.pid) || pid == static_cast<long>(t.pid)));
        EXPECT_TRUE(s.running() && t.running());
        EXPECT_GE(std::chrono::steady_clock::now() - std::exchange(since, std::chrono::steady_clock::now()),
                  kShortGrace);
        return ++asked == 2;  // No, then Yes
    });
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(r.overdue.size(), 2U) << "both forced after the Yes, and named";
}

TEST(TerminateWin, ClosesEveryInstanceInOneCall)
{
    StandIns standIns;
    const std::wstring name = L"dolvo_" + uniqueTag() + L".exe";
    const StandIn& first = standIns.start(name, StandInMode::Visible);
    const StandIn& second = standIns.start(name, StandInMode::Hidden);
    const StandIn& third = standIns.start(name, StandInMode::Windowless);

    EXPECT_EQ(counts(terminate(toUtf8(name), 2s)), report(2, 1));

    for (const StandIn* s : {&first, &second, &third})
        EXPECT_EQ(s->exitCodeWithin(kExitLimit), 0u);
}

TEST(TerminateWin, LeavesProgramsWhoseNameOnlyEndsWithTheName)
{
    StandIns standIns;
    const std::wstring tag = uniqueTag();
    const StandIn& longer = standIns.start(L"vidorikivo" + tag + L".exe", StandInMode::Visible);
    const StandIn& exact = standIns.start(L"kivo" + tag + L".exe", StandInMode::Visible);

    EXPECT_EQ(counts(terminate(toUtf8(L"kivo" + tag + L".exe"), kPatientGrace)), report(1, 0));

    EXPECT_EQ(exact.exitCodeWithin(kExitLimit), 0u);
    EXPECT_TRUE(longer.running());
    EXPECT_FALSE(longer.wasAskedToClose());
}

TEST(TerminateWin, MatchesTheNameInAnyLetterCase)
{
    StandIns standIns;
    const std::wstring tag = uniqueTag();
    const StandIn& standIn = standIns.start(L"KiVo" + tag + L".EXE", StandInMode::Hidden);

    EXPECT_EQ(counts(terminate(toUtf8(L"kIvO" + tag + L".exe"), kPatientGrace)), report(1, 0));

    EXPECT_EQ(standIn.exitCodeWithin(kExitLimit), 0u);
}

TEST(TerminateWin, LeavesEverythingAloneWhenNothingHasTheName)
{
    StandIns standIns;
    const StandIn& standIn = standIns.start(L"nodoart_" + uniqueTag() + L".exe", StandInMode::Visible);

    EXPECT_EQ(counts(terminate(toUtf8(L"absent_" + standIn.imageName), kShortGrace)), report(0, 0));
    EXPECT_EQ(counts(terminate("", kShortGrace)), report(0, 0));

    EXPECT_TRUE(standIn.running());
    EXPECT_FALSE(standIn.wasAskedToClose());
}

}  // namespace
