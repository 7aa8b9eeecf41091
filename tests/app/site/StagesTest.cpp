// Sites take a staged release as its plan says, each by a place of its own
// for each release, and by an id drawn once and kept.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <set>

#include "app/site/Stages.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"

namespace {

using enum adv::SiteGroup;

// Which of the sites "sito-0".."sito-999" take the release within `hours`.
std::set<int> due(const char* plan, adv::SiteGroup group, int hours, unsigned char release = 1)
{
    adv::ReleaseIndex index;
    index.hash.fill(release);
    index.signedAt = 1796824563;
    index.rollout = *adv::Rollout::parse(plan);
    std::set<int> sites;
    for (int i = 0; i < 1000; ++i)
        if (adv::dueFrom(index, adv::sitePlace("sito-" + std::to_string(i), index.hash), group).value_or(INT64_MAX) <=
            index.signedAt + hours * 3600)
            sites.insert(i);
    return sites;
}

TEST(Stages, SitesTakeTheReleaseAsThePlanSays)
{
    const std::set<int> tenth = due("10@0h,50@24h,100@72h", Normal, 0), half = due("50@0h,100@72h", Normal, 0);
    std::set<int> again;  // the next release's first tenth shares about a tenth of it with this one's
    std::ranges::set_intersection(due("10@0h,50@24h,100@72h", Normal, 0, 2), tenth, std::inserter(again, again.end()));
    const struct {
        std::size_t count, least, most;
    } rows[] = {{tenth.size(), 70, 130},
                {due("10@2h,50@24h,100@72h", Pilot, 1).size(), 0, 0},        // pilots at the first stage, whatever
                {due("10@2h,50@24h,100@72h", Pilot, 2).size(), 1000, 1000},  // their place
                {due("10@0h,50@24h,100@72h", Last, 71).size(), 0, 0},        // the last ones at the last only
                {due("10@0h,50@24h,100@72h", Last, 72).size(), 1000, 1000},
                {due("pausa", Pilot, 24 * 366).size(), 0, 0},
                {again.size(), 0, tenth.size() / 3},
                // As Python's blake2b(id + release, digest_size=16) places them: every build alike.
                {static_cast<std::size_t>(adv::sitePlace("sito-0", {})), 17, 17},
                {static_cast<std::size_t>(adv::sitePlace("sito-7", {})), 84, 84}};
    for (const auto& row : rows)
        EXPECT_TRUE(row.count >= row.least && row.count <= row.most) << &row - rows << ": " << row.count;
    EXPECT_EQ(due("10@0h,50@24h,100@72h", Normal, 0), tenth);  // the same place every time
    EXPECT_TRUE(std::ranges::includes(half, tenth));
}

TEST(Stages, SiteIdIsConfiguredOrDrawnOnceAndKept)
{
    QTemporaryDir dir;
    const QString kept = dir.filePath(QStringLiteral("stato/AggiornaDV.site-id"));
    adv::Config config;
    config.siteId = "sede-1";
    EXPECT_EQ(adv::siteId(config, kept).id, "sede-1");
    config.siteId.clear();
    const adv::SiteId drawn = adv::siteId(config, kept);
    EXPECT_TRUE(drawn.cause.isEmpty() && drawn.id.size() == 32 && adv::siteId(config, kept).id == drawn.id);
    // Neither taken as the site's nor written: a link (to a good id), a wrong id, a shared id.
    for (const std::string place : {"link", "malformed", "others may write"}) {
        const QString file = dir.filePath(QString::fromStdString(place));
        if (place == "malformed" || place == "others may write")
            adv::test::writeFile(file, place == "malformed" ? "sede 1\n" : "sede-1\n");
        ASSERT_TRUE(place == "link" ? adv::test::makeSymlink(kept, file)
                                    : place == "malformed" || adv::test::setMode(file, 0666))
            << place;
        const auto state = [&] { return QFileInfo(file).isFile() ? adv::test::readFile(file).toStdString() : place; };
        const std::string before = state();
        const adv::SiteId first = adv::siteId(config, file), second = adv::siteId(config, file);
        EXPECT_TRUE(!first.cause.isEmpty() && first.id != second.id && first.id != drawn.id) << place;
        EXPECT_EQ(state(), before) << place;
    }
}

}  // namespace
