// The maker's decisions before anything changes on the server: the plan's
// dates through pause and resume, a withdrawn release published again, the
// way back, the index's signing time, the clock, and what pruning keeps.
#include <gtest/gtest.h>

#include "app/channel/ServerLayout.h"
#include "app/maker/PublishPlan.h"

namespace {

using adv::ReleaseIndex;
using adv::Rollout;
constexpr std::int64_t kT = 1796000000, kH = 3600;

adv::minisign::Hash hashOf(char c)
{
    adv::minisign::Hash hash{};
    hash.fill(static_cast<unsigned char>(c));
    return hash;
}

ReleaseIndex release(char c, std::int64_t signedAt)
{
    ReleaseIndex index;
    index.hash = hashOf(c);
    index.size = 4;
    index.signedAt = signedAt;
    index.release = adv::releasePath(adv::releaseFileName(signedAt, index.hash));
    return index;
}

Rollout plan(const char* text)
{
    return *Rollout::parse(text);
}

// The sites' plan (counted from the release's signing) after each step.
TEST(PublishPlan, StagesCountFromPublishingAndResumeWhereTheyStopped)
{
    const auto published = [](std::int64_t signedAt, const char* given, std::int64_t now) {
        return *adv::releasePlanned(std::nullopt, release('a', signedAt), plan(given), now, false).index;
    };
    const auto then = [](ReleaseIndex index, const char* given, std::int64_t now) {
        return *adv::planChanged(index, plan(given), now).index;
    };
    const ReleaseIndex staged = published(kT, "10@0h,50@24h,100@72h", kT);
    const ReleaseIndex paused = then(staged, "pausa", kT + 30 * kH);
    const ReleaseIndex early = then(published(kT, "10@12h,100@48h", kT), "pausa", kT + 2 * kH);
    const struct {
        const char* label;
        ReleaseIndex index;
        const char* sites;
        const char* kept;
        int reached;
    } rows[] = {
        {"signed and published together", staged, "10@0h,50@24h,100@72h", nullptr, 0},
        {"signed three days before", published(kT - 72 * kH - 5, "10@0h,100@24h", kT), "10@72h,100@96h", nullptr, 0},
        {"paused in the second stage", paused, "pausa", "10@0h,50@24h,100@72h", 50},
        {"paused twice", then(paused, "pausa", kT + 90 * kH), "pausa", "10@0h,50@24h,100@72h", 50},
        {"resumed with the same plan", then(paused, "10@0h,50@24h,100@72h", kT + 100 * kH), "50@100h,100@148h", nullptr,
         0},
        {"resumed at once, for everyone", then(paused, "100@0h", kT + 100 * kH), "100@100h", nullptr, 0},
        {"resumed before its first stage", then(early, "10@12h,100@48h", kT + 10 * kH), "10@22h,100@58h", nullptr, 0},
        {"another plan, not paused", then(staged, "10@0h,100@12h", kT + 30 * kH), "10@0h,100@12h", nullptr, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.index.rollout.text(), row.sites) << row.label;
        EXPECT_EQ(row.index.keptPlan ? row.index.keptPlan->text() : "", row.kept ? row.kept : "") << row.label;
        EXPECT_EQ(row.index.reached, row.reached) << row.label;
        // Every index as stored reads back whole, notes and all.
        EXPECT_EQ(adv::readReleaseIndex(row.index.text()).index, row.index) << row.label;
    }
    EXPECT_FALSE(adv::releasePlanned(std::nullopt, release('a', kT - 400 * 24 * kH), plan("100"), kT, false).index);
}

// A withdrawal goes back only to an older, good release; over a withdrawn
// current one, the next release's way back stays the last good one. (The
// target found on a hostile server, a withdrawn release again and the clock
// are rows of PublishOutcomes.)
TEST(PublishPlan, TheWayBackIsTheMakersWord)
{
    ReleaseIndex current = release('b', kT);
    current.withdrawn = {hashOf('c')};
    EXPECT_TRUE(adv::withdrawTarget(current, "").refused);  // the index names none
    EXPECT_TRUE(adv::withdrawTarget(current, "CCCC").refused);
    const struct {
        ReleaseIndex target;
        bool taken;
    } rows[] = {{release('a', kT - 5), true},
                {release('b', kT), false},       // the current one
                {release('c', kT - 9), false},   // withdrawn itself
                {release('d', kT + 9), false}};  // not older
    for (const auto& row : rows)
        EXPECT_EQ(adv::withdrawnFor(current, row.target).index.has_value(), row.taken) << row.target.release;
    current.replaces = hashOf('a');
    current.withdrawn.push_back(current.hash);
    EXPECT_EQ(adv::releasePlanned(current, release('d', kT + 5), plan("100"), kT, false).index->replaces, hashOf('a'));
    EXPECT_EQ(adv::indexSigningTime(kT, kT + 600), kT + 601);    // the server's index is ahead
    EXPECT_EQ(adv::indexSigningTime(kT, kT + 2 * 24 * kH), kT);  // too far ahead for any site to have taken it
}

// The server's file times: up to a time zone away is said, not refused.
TEST(PublishPlan, TheServersClock)
{
    const auto check = [](std::optional<std::int64_t> server) { return adv::checkClock(kT, server); };
    EXPECT_FALSE(check(kT + 299).refused || !check(kT + 299).note.isEmpty());
    EXPECT_FALSE(check(kT - 2 * kH + 100).refused || check(kT - 2 * kH + 100).note.isEmpty());
    EXPECT_TRUE(check(kT + 15 * kH).refused && check(kT - 2 * 24 * kH).refused);
    EXPECT_FALSE(check(std::nullopt).refused || check(std::nullopt).note.isEmpty());
}

TEST(PublishPlan, PruningKeepsTheWaysBack)
{
    std::vector<std::string> names;
    for (const char c : {'1', '2', '3', '4', '5'})
        names.push_back(adv::releaseFileName(kT + c, hashOf(c)));
    ReleaseIndex index = release('3', kT + '3');
    index.replaces = hashOf('1');
    index.withdrawn = {hashOf('5'), hashOf('4')};
    // Newest kept: 5; then the current 3, the replaced 1 and 3 as the newest good one.
    EXPECT_EQ(adv::prunable(names, 1, index), (std::vector{names[1], names[3]}));
}

}  // namespace
