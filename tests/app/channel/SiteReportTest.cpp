// A site's report as the maker reads it: what a site writes reads back the
// same; a file cut short or changed is refused; one report follows another
// of the same installation, not of a copy of it.
#include <gtest/gtest.h>

#include "app/channel/SiteReport.h"

namespace {

adv::SiteReport report(std::int64_t seq, const char* run, const char* previousRun,
                       std::vector<adv::ReportedRun> history)
{
    adv::SiteReport r;
    r.site = std::string(32, 'a');
    r.version = "1.2.0.7";
    r.command = "update";
    r.seq = seq;
    r.run = run;
    r.previousRun = previousRun;
    r.at = 1790000000 + seq;
    r.outcome = "updated";
    r.phase = "done";
    r.group = "normale";
    r.history = std::move(history);
    return r;
}

const char *kA = "000000000000000a", *kB = "000000000000000b", *kC = "000000000000000c", *kX = "00000000000000ff";

TEST(SiteReport, ReadsBackAsWrittenAndRefusesACutOrChangedFile)
{
    adv::SiteReport r =
        report(3, kC, kB, {{2, kB, 1790000002, 0, "updated"}, {1, kA, 1790000001, 2, "connect-failed"}});
    r.cause = "login", r.installed = std::string(32, 'b'), r.place = 42, r.unsentSince = 1790000001;
    const std::string text = adv::reportText(r);
    EXPECT_EQ(adv::readReport(text).report, r);
    EXPECT_FALSE(adv::readReport(text.substr(0, text.size() - 10)).report);
    std::string changed = text;
    changed[changed.find("place=42")] = 'P';
    EXPECT_FALSE(adv::readReport(changed).report);
}

TEST(SiteReport, FollowsTheSameInstallationAcrossAGapButNotAClone)
{
    const adv::SiteReport first = report(1, kA, "", {});
    struct Row {
        const char* label;
        adv::SiteReport later;
        bool follows;
    };
    const Row rows[] = {
        {"next", report(2, kB, kA, {first.asRun()}), true},
        // The second was never sent: the third still names the first.
        {"afterAnUnsentOne", report(3, kC, kA, {{2, kB, 0, 2, "connect-failed"}, first.asRun()}), true},
        {"gapBeyondTheHistory", report(9, kC, kB, {{8, kB, 0, 0, "updated"}}), true},
        // A copy of the disk, its site id with it, drew its own runs.
        {"copyWithItsOwnFirstRun", report(2, kC, kX, {{1, kX, 0, 0, "updated"}}), false},
        {"cloneWithItsOwnRuns", report(3, kC, kX, {{2, kX, 0, 0, "updated"}, {1, kB, 0, 0, "updated"}}), false},
        {"notLater", report(1, kB, "", {}), false},
    };
    for (const Row& row : rows)
        EXPECT_EQ(adv::follows(first, row.later), row.follows) << row.label;
}

}  // namespace
