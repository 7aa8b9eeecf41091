// Sites take a staged release as the plan says, each by a place of its own
// for that release, and by an id drawn once and kept.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <iostream>
#include <set>

#include "app/core/Stages.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"

namespace {

using namespace Qt::StringLiterals;
using adv::SiteGroup;

// Which of the sites "sito-0".."sito-999" take the release within `hours`.
std::set<int> due(const char* plan, unsigned char release, SiteGroup group, int hours)
{
    adv::ReleaseIndex index;
    index.hash.fill(release);
    index.signedAt = 1796824563;
    index.rollout = *adv::Rollout::parse(plan);
    std::set<int> sites;
    for (int i = 0; i < 1000; ++i) {
        const auto from = adv::dueFrom(index, adv::sitePlace("sito-" + std::to_string(i), index.hash), group);
        if (from && *from <= index.signedAt + hours * 3600)
            sites.insert(i);
    }
    return sites;
}

TEST(Stages, SitesTakeTheReleaseAsThePlanSays)
{
    const struct {
        const char* plan;
        SiteGroup group;
        int hours;
        std::size_t least, most;
    } rows[] = {
        {"10@0h,50@24h,100@72h", SiteGroup::Normal, 0, 70, 130},  // a tenth at once
        {"10@2h,50@24h,100@72h", SiteGroup::Pilot, 1, 0, 0},      // pilots at the first stage, whatever their place
        {"10@2h,50@24h,100@72h", SiteGroup::Pilot, 2, 1000, 1000},
        {"10@0h,50@24h,100@72h", SiteGroup::Last, 71, 0, 0},  // the last ones at the last stage only
        {"10@0h,50@24h,100@72h", SiteGroup::Last, 72, 1000, 1000},
        {"pausa", SiteGroup::Pilot, 24 * 366, 0, 0},
    };
    for (const auto& row : rows) {
        const std::size_t count = due(row.plan, 1, row.group, row.hours).size();
        EXPECT_TRUE(count >= row.least && count <= row.most) << row.plan << " +" << row.hours << "h: " << count;
    }
    const std::set<int> tenth = due("10@0h,50@24h,100@72h", 1, SiteGroup::Normal, 0);
    EXPECT_EQ(due("10@0h,50@24h,100@72h", 1, SiteGroup::Normal, 0), tenth);  // the same place every time
    const std::set<int> half = due("50@0h,100@72h", 1, SiteGroup::Normal, 0);
    EXPECT_TRUE(std::includes(half.begin(), half.end(), tenth.begin(), tenth.end()));
    std::set<int> again;  // the next release's first tenth shares about a tenth with this one's
    std::ranges::set_intersection(due("10@0h,50@24h,100@72h", 2, SiteGroup::Normal, 0), tenth,
                                  std::inserter(again, again.end()));
    EXPECT_LT(again.size(), tenth.size() / 3);
}

TEST(Stages, SiteIdIsConfiguredOrDrawnOnceAndKept)
{
    QTemporaryDir dir;
    const QString kept = dir.filePath(u"stato/AggiornaDV.site-id"_s);
    adv::Config config;
    config.siteId = "sede-1";
    EXPECT_EQ(adv::siteId(config, kept).id, "sede-1");
    config.siteId.clear();
    const adv::SiteId drawn = adv::siteId(config, kept);
    EXPECT_TRUE(drawn.problem.isEmpty() && drawn.id.size() == 32) << drawn.problem.toStdString();
    EXPECT_EQ(adv::siteId(config, kept).id, drawn.id);

    // Not taken as the site's, nor written: a link (even to a good id), a FIFO, a file with a wrong id.
    for (const std::string place : {"link", "fifo", "malformed"}) {
        const QString file = dir.filePath(QString::fromStdString(place));
        if (place == "fifo" && !adv::test::kFifosExist) {
            std::cout << "[ NOTE ] no FIFO row: this system has no FIFOs\n";
            continue;
        }
        if (place == "malformed")
            adv::test::writeFile(file, "sede 1\n");
        else
            ASSERT_TRUE(place == "link" ? adv::test::makeSymlink(kept, file) : adv::test::makeFifo(file)) << place;
        const auto state = [&file] {
            return QFileInfo(file).isFile() ? adv::test::readFile(file).toStdString() : "not a file";
        };
        const std::string before = state();
        const adv::SiteId first = adv::siteId(config, file), second = adv::siteId(config, file);
        EXPECT_TRUE(!first.problem.isEmpty() && first.id != second.id && first.id != drawn.id) << place;
        EXPECT_EQ(state(), before) << place;
        EXPECT_EQ(QFileInfo(file).isSymLink(), place == "link");
    }
}

}  // namespace
