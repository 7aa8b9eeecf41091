// --fleet over 10,000 reports: the count, what a second run fetches, and
// when --auto-pause pauses. Over a server tree in memory.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "app/channel/SiteReport.h"
#include "app/maker/FleetCommand.h"
#include "app/maker/FleetCount.h"
#include "app/maker/PublishCommand.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"
#include "tests/support/MinisignMaker.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/ScriptedServer.h"

using namespace Qt::StringLiterals;

namespace {

constexpr std::int64_t kDay = 24 * 3600;

// Kinds of site: how many, what they run and tried ('c' the current release,
// 'o' an older one, 'w' a withdrawn one), and what else sets them apart.
struct Kind {
    int sites;
    char installed, tried;
    const char* cause;
    int daysSilent, place;
    const char* version;
    const char* group;
};
const std::vector<Kind> kFleet{
    {7950, 'c', 'c', "", 0, 5, "3.1", "normale"},       {1000, 'c', ' ', "", 0, 50, "3.1", "pilota"},
    {400, 'o', 'c', "size", 0, 3, "3.0", "normale"},    {150, 'o', 'c', "file", 0, 3, "3.0", "normale"},
    {50, 'o', 'c', "transfer", 0, 3, "3.0", "normale"},  // the network's, not a try
    {300, 'o', ' ', "", 0, 1, "3.0", "ultimo"},          // the last stage has not begun
    {147, 'o', ' ', "", 8, 60, "3.0", "normale"},       {1, 'w', ' ', "", 0, 70, "3.0", "normale"},
    {1, 'c', ' ', "", 0, 2, "3.1", "normale"},   // rewritten by a copy, the last but one
    {1, 'c', ' ', "", 0, 2, "3.1", "normale"}};  // cut short, the last

struct Sent {
    std::string name, text;
    std::int64_t at;
};

std::string tag(std::string_view program)
{
    return adv::releaseTag(adv::minisign::hashOf(program).data());
}

std::vector<Sent> fleet(std::int64_t signedAt, std::int64_t now)
{
    std::vector<Sent> sent;
    for (const Kind& kind : kFleet) {
        for (int i = 0; i < kind.sites; ++i) {
            const auto release = [](char which) {
                return which == 'c'   ? tag("MZ prima")
                       : which == 'o' ? tag("MZ vecchia")
                       : which == 'w' ? tag("MZ ritirata")
                                      : "";
            };
            adv::SiteReport r;
            r.site = adv::reportName(std::to_string(sent.size())).substr(0, 32);
            r.version = kind.version, r.command = "update", r.run = "00000000000000aa";
            r.at = now - kind.daysSilent * kDay, r.phase = "done", r.place = kind.place, r.group = kind.group;
            r.outcome = kind.cause[0] ? "download-failed" : "updated", r.cause = kind.cause;
            r.installed = release(kind.installed), r.tried = release(kind.tried), r.indexSigned = signedAt;
            sent.push_back({r.site + ".report", adv::reportText(r), r.at});
        }
    }
    sent.back().text.resize(sent.back().text.size() / 2);
    return sent;
}

TEST(FleetCount, TenThousandReports)
{
    adv::ReleaseIndex current;
    current.hash = adv::minisign::hashOf("MZ prima"), current.signedAt = 1'800'000'000;
    current.rollout = *adv::Rollout::parse("10@0h,100@24h");
    current.withdrawn = {adv::minisign::hashOf("MZ ritirata")};
    std::vector<adv::FleetEntry> entries;
    for (const Sent& one : fleet(current.signedAt, current.signedAt + 3600)) {
        adv::ReadReport read = adv::readReport(one.text);
        const adv::LastTry tried = read.report ? adv::nextTry({}, *read.report) : adv::LastTry{};
        entries.push_back({one.name, std::move(read.report), read.problem, std::nullopt, false, tried});
    }
    entries[entries.size() - 2].clone = true;
    const adv::FleetCount count = adv::countFleet(entries, &current, current.signedAt + 3600);
    EXPECT_EQ(count.sites, 9999u);
    using Tally = std::map<std::string, std::size_t>;
    EXPECT_EQ(count.byInstalled, (Tally{{tag("MZ prima"), 8951}, {tag("MZ vecchia"), 1047}, {tag("MZ ritirata"), 1}}));
    EXPECT_EQ(count.byVersion, (Tally{{"3.0", 1048}, {"3.1", 8951}}));
    EXPECT_EQ(count.byStage, (std::vector<std::size_t>{9551, 0}));
    EXPECT_EQ(count.waiting, 448u);
    EXPECT_EQ(count.tried, 9501u);
    EXPECT_EQ(count.failed, 550u);
    EXPECT_EQ(count.causes, (std::vector<std::pair<std::string, std::size_t>>{{"size", 400}, {"file", 150}}));
    EXPECT_EQ(count.silent.size(), 147u);
    EXPECT_EQ(count.clones, std::vector<std::string>{entries[entries.size() - 2].name});
    ASSERT_EQ(count.unread.size(), 1u);
    EXPECT_EQ(count.unread[0].first, entries.back().name);
}

TEST(FleetCommand, FetchesOnlyWhatChangedAndPausesPastTheThreshold)
{
    QTemporaryDir dir;
    adv::test::Maker maker;
    adv::test::ScriptedServer server;
    server.folders = {"", "download", "download/reports"};
    adv::Config config;
    config.remoteFolder = "download";
    config.publicKey = maker.key();
    config.signingKey = dir.filePath(u"maker.key"_s);
    adv::test::writeFile(config.signingKey, QByteArray::fromStdString(maker.secretKeyFile()));
    adv::test::setMode(config.signingKey, 0600);
    adv::test::writeFile(dir.filePath(u"dolvo.exe"_s), "MZ prima");
    adv::test::RecordingUi ui{true};
    const auto noPassword = [] { return std::optional<std::string>(); };
    const std::int64_t signedAt = 1'800'000'000, now = signedAt + 3600;
    adv::PublishRequest staged;
    staged.program = dir.filePath(u"dolvo.exe"_s);
    staged.rollout = *adv::Rollout::parse("10@0h,100@24h");
    ASSERT_EQ(adv::PublishCommand(ui, server, config, staged, noPassword, signedAt).outcome,
              adv::PublishOutcome::Published);

    std::vector<Sent> sent = fleet(signedAt, now);
    server.EnterRemoteFolder("download");
    for (const Sent& one : sent)
        server.clock = one.at, server.PlaceFile("reports", one.name, one.text);
    int fetches = 0;
    server.meanwhile = [&](const std::string& kind) { fetches += kind == "fetch"; };
    const auto run = [&](std::optional<std::int64_t> threshold) {
        fetches = 0;
        ui.lines.clear();
        return adv::FleetCommand(ui, server, config, {threshold}, noPassword, now).outcome;
    };
    ASSERT_EQ(run(std::nullopt), adv::PublishOutcome::Published);
    EXPECT_EQ(fetches, 1 + 10'000) << "the index and every report";
    EXPECT_TRUE(ui.lines.contains(
        u"    %1: %2"_s.arg(QString::fromStdString(sent.back().name), adv::readReport(sent.back().text).problem)))
        << "a report cut short is named, not counted";

    // 99 sites report again; a copy of another writes over its report.
    server.EnterRemoteFolder("download");
    for (std::size_t i = 0; i < 100; ++i) {
        Sent& one = sent[sent.size() - 2 - i];
        adv::SiteReport later = *adv::readReport(one.text).report;
        later.seq = 2, later.previousRun = later.run, later.run = "00000000000000bb";
        if (i == 0)
            later.previousRun = "00000000000000cc", later.history = {{1, "00000000000000cc", now, 0, "updated"}};
        server.clock = now, server.PlaceFile("reports", one.name, adv::reportText(later));
    }
    ASSERT_EQ(run(std::nullopt), adv::PublishOutcome::Published);
    EXPECT_EQ(fetches, 1 + 100 + 1) << "the index, the reports that changed, and the one cut short again";
    EXPECT_TRUE(ui.lines.contains(u"Rapporti di copie di un'installazione (stesso identificativo del sito): 1"_s));

    EXPECT_EQ(run(7'000), adv::PublishOutcome::Published) << "550 of 9,551 is below 7%";
    EXPECT_EQ(run(5'000), adv::PublishOutcome::AutoPaused) << ui.lines.join(u'\n').toStdString();
    EXPECT_EQ(run(5'000), adv::PublishOutcome::Published) << "paused already";
}

TEST(FleetCount, PausesPastTheThreshold)
{
    struct Row {
        std::size_t tried, failed;
        const char* threshold;
        bool due;
    };
    for (const Row& row : std::vector<Row>{{1000, 11, "1", true},
                                           {1000, 10, "1", false},
                                           {1000, 6, "0.5", true},
                                           {1000, 5, "0.5", false},
                                           {19, 19, "0", false},
                                           {20, 1, "0", true},
                                           {20, 20, "100", false}}) {
        EXPECT_EQ(adv::pauseDue(row.tried, row.failed, *adv::readThreshold(row.threshold)), row.due)
            << row.tried << " " << row.failed << " " << row.threshold;
    }
    for (const char* bad : {"", "1.", ".5", "0.0001", "100.001", "-1", "1,5", "1e2"})
        EXPECT_FALSE(adv::readThreshold(bad)) << bad;
}

}  // namespace
