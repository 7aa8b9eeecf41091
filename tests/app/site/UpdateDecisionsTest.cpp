// What a site decides, each verdict once, over values; then how the update
// and roll-back commands end, each outcome of their own once, over a server
// given as a table and an installation in a temporary folder, with the
// maker's signatures made here. Needs no root, no network, no Wine.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <tuple>

#include "app/channel/ServerLayout.h"
#include "app/channel/SiteReport.h"
#include "app/core/Config.h"
#include "app/site/Decide.h"
#include "app/site/RollBackCommand.h"
#include "app/site/UpdateCommand.h"
#include "app/site/UpdateTexts.h"
#include "platform/OrdinaryFile.h"
#include "tests/support/MinisignMaker.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/ScriptedFtp.h"

using namespace Qt::StringLiterals;
using adv::UpdateOutcome;
namespace fs = std::filesystem;
namespace platform = adv::platform;
namespace install = adv::install;

namespace {

using adv::Act;
using adv::ExitStatus;
namespace text = adv::text;

using S = adv::Situation;
using O = UpdateOutcome;

constexpr std::int64_t kT1 = 1790000000, kT2 = kT1 + 30 * 86400, kT3 = kT2 + 30 * 86400, kAt = kT2 + 3600;
constexpr std::int64_t kDue = kT2 + 24 * 3600, kAhead = kAt + 86400 + 60;
const adv::minisign::Hash kA = adv::minisign::hashOf("MZ A"), kB = adv::minisign::hashOf("MZ B");
const std::string kHexA = adv::minisign::toHex(kA), kHexB = adv::minisign::toHex(kB);
const install::Release kOnA{kT1, kHexA}, kOnB{kT2, kHexB};

adv::minisign::Signature signatureOf(const std::string& program, std::int64_t at)
{
    static const adv::test::Maker maker;
    return *adv::minisign::Signature::check(maker.release(program, at), maker.key(), "dolvo.exe").signature;
}

// A nightly run with a key, on A (signed at T1); the maker's index, signed a
// minute after T2, offers B (signed at T2) to every site at once.
S situation()
{
    return {{adv::ReleaseIndex{"releases/b", 4, kB, kT2, {}, {}, {}, 0, {}, 0, 0, {}}, kT2 + 60, {}},
            {kOnA, {}, kT1, kT1 + 60, {}},
            kAt,
            [] { return 50; },
            adv::SiteGroup::Normal,
            adv::UpdateMode::Nightly,
            true};
}
const auto staged = [](S& s) { s.offer.index->rollout = *adv::Rollout::parse("10@0h,100@24h"); };
// B installed, A kept before it: the maker went back to A, and paused.
const auto withdrawn = [](S& s) {
    s.offer.index =
        adv::ReleaseIndex{"releases/a", 4, kA, kT1, *adv::Rollout::parse("pausa"), {kB}, {}, 0, {}, 0, 0, {}};
    s.record = {kOnB, kOnA, kT2, kT1 + 60, {}};
};
const auto pair = [](S& s, std::int64_t at) {
    s.offer.index.reset(), s.record.indexSeen.reset(), s.offer.signature = signatureOf("MZ B", at);
};
const auto check = [](S& s) { s.mode = adv::UpdateMode::Check; };
// Neither index nor key: A came from a dolvo.exe of 6 bytes at T1; the server's is `size` bytes now.
const auto unsignedAsked = [](S& s, std::int64_t size) {
    s.offer.index.reset(), s.keyed = false, s.offer.programAsked = true, s.offer.program = {size, kT1};
    s.programThen = {6, kT1}, s.programThenHash = kHexA;
};

// The index holds 14 days from its signing, renewable with `refresher`'s
// key; the night is at `now`, the server's statement, if any, not yet read.
const adv::test::Maker refresher, stranger;
constexpr std::int64_t kExpiry = kT2 + 60 + 14 * 86400;
void expiring(S& s, std::int64_t now, bool asked = true)
{
    s.now = now, s.offer.statementAsked = asked, s.offer.indexTextHash = adv::minisign::hashOf("indice");
    s.offer.index->validDays = 14, s.offer.index->refreshKey = refresher.key();
}
// The statement beside it, made at `at` by `by`, over `text`.
void renewed(S& s, std::int64_t at, const adv::test::Maker& by, const char* text = "indice")
{
    s.offer.statement = by.signatureOf(text, adv::minisign::trustedComment(at, adv::kFreshName));
}

struct Decided {
    const char* label;
    void (*setup)(S&);
    Act act;
    O outcome;
    QString words;  // the cause, where there is one, else the last status line
    int writes;     // 1: the index's news kept at once; 2: the record written though nothing is installed
};

class Decide : public ::testing::TestWithParam<Decided> {};

TEST_P(Decide, AsTheTableSays)
{
    const Decided& row = GetParam();
    S s = situation();
    row.setup(s);
    const adv::Verdict verdict = adv::decide(s);
    EXPECT_EQ(verdict.act, row.act);
    EXPECT_EQ(verdict.outcome, row.outcome);
    EXPECT_EQ(verdict.cause.isEmpty() ? verdict.line : verdict.cause.text, row.words);
    EXPECT_EQ((verdict.note ? 1 : 0) + (verdict.keep ? 2 : 0), row.writes);
    if (verdict.note) {
        EXPECT_EQ(*verdict.note, (adv::IndexNote{kT2 + 60, s.offer.index->withdrawn.empty() ? std::vector<std::string>{}
                                                                                            : std::vector{kHexB}}));
    }
}

const Decided kDecided[] = {
    {"takesTheIndexedRelease", [](S&) {}, Act::TakeIndexed, O::Updated, QString(), 1},
    {"withoutAKeyNothingIsNoted", [](S& s) { s.keyed = false, s.record.indexSeen = kT3; }, Act::TakeIndexed, O::Updated,
     QString(), 0},
    {"alreadyCurrent", [](S& s) { s.record.installed = kOnB; }, Act::Settle, O::AlreadyCurrent, text::kAlreadyCurrent,
     3},
    {"paused", [](S& s) { s.offer.index->rollout.paused = true; }, Act::Settle, O::Paused, text::kPaused, 3},
    {"belowTheFloor", [](S& s) { s.record.floor = kT3; }, Act::Settle, O::OlderRelease,
     text::olderReleaseCause(kT2, kT3), 3},
    {"notDue", staged, Act::Settle, O::NotDue, text::notDue(kDue), 3},
    // A, withdrawn once, reinstated: no longer a way back past the plan.
    {"reinstatedFollowsThePlan", [](S& s) { staged(s), s.record.withdrawn = {kHexA}; }, Act::Settle, O::NotDue,
     text::notDue(kDue), 3},
    {"theOperatorTakesItBeforeItsStage", [](S& s) { staged(s), s.mode = adv::UpdateMode::Operator; }, Act::TakeIndexed,
     O::Updated, QString(), 1},
    {"futureIndex", [](S& s) { s.offer.indexSignedAt = kAhead; }, Act::Refuse, O::FutureRelease,
     text::futureReleaseCause(kAhead, kAt, true), 0},
    {"olderIndex", [](S& s) { s.record.indexSeen = kT2 + 120; }, Act::Refuse, O::OlderRelease,
     text::olderIndexCause(kT2 + 60, kT2 + 120), 0},
    {"withdrawnOffered", [](S& s) { s.offer.index->withdrawn = {kB}; }, Act::Refuse, O::OlderRelease,
     text::kWithdrawnOfferedCause, 0},
    // The maker's latest index no longer lists it: reinstated on purpose.
    {"reinstated", [](S& s) { s.record.withdrawn = {kHexB}; }, Act::TakeIndexed, O::Updated, QString(), 1},
    {"restoredFromTheKeptProgram", withdrawn, Act::Restore, O::Restored, text::restored(kT1), 1},
    // Nothing kept to go back to.
    {"withdrawnGoesBackByDownload", [](S& s) { withdrawn(s), s.record.previous = {}; }, Act::TakeIndexed, O::Restored,
     text::restored(kT1), 1},
    {"indexGone", [](S& s) { s.offer.index.reset(); }, Act::Refuse, O::OlderRelease, text::kIndexGoneCause, 0},
    {"noIndexEverSeen", [](S& s) { s.offer.index.reset(), s.record.indexSeen.reset(); }, Act::ReadSignature, O::Updated,
     QString(), 0},
    {"unsigned", [](S& s) { s.offer.index.reset(), s.keyed = false; }, Act::AskProgram, O::Updated, QString(), 0},
    {"unsignedAsked", [](S& s) { unsignedAsked(s, 7); }, Act::Take, O::Updated, QString(), 0},
    {"unsignedAsWhenInstalled", [](S& s) { unsignedAsked(s, 6); }, Act::Settle, O::AlreadyCurrent,
     text::kAlreadyCurrent, 2},
    {"largerThanAllowed", [](S& s) { s.maxDownloadBytes = 3; }, Act::Refuse, O::DownloadFailed,
     text::tooLargeCause(4, 3).text, 1},
    {"signed", [](S& s) { pair(s, kT2); }, Act::Take, O::Updated, QString(), 0},
    {"signedAtTheInstalledTimeButAnotherProgram", [](S& s) { pair(s, kT1); }, Act::Take, O::Updated, QString(), 0},
    {"signedAlreadyCurrentBelowTheFloor", [](S& s) { pair(s, kT2), s.record.installed = kOnB, s.record.floor = kT3; },
     Act::Settle, O::AlreadyCurrent, text::kAlreadyCurrent, 0},
    {"signedBelowTheFloor", [](S& s) { pair(s, kT2), s.record.floor = kT3; }, Act::Refuse, O::OlderRelease,
     text::olderReleaseCause(kT2, kT3), 0},
    {"signedADayAhead", [](S& s) { pair(s, kAt + 86400 - 60); }, Act::Take, O::Updated, QString(), 0},
    {"signedMoreThanADayAhead", [](S& s) { pair(s, kAhead); }, Act::Refuse, O::FutureRelease,
     text::futureReleaseCause(kAhead, kAt), 0},
    // A replayed index stops installs a day after its time, not before.
    {"replayedIndexHoldsToADayPastItsTime", [](S& s) { expiring(s, kExpiry + 86400); }, Act::TakeIndexed, O::Updated,
     QString(), 1},
    {"replayedIndexStopsInstalls", [](S& s) { expiring(s, kExpiry + 86401); }, Act::Refuse, O::IndexExpired,
     text::indexExpired(kExpiry), 0},
    {"pastItsSignatureTheStatementIsRead", [](S& s) { expiring(s, kExpiry + 1, false); }, Act::ReadStatement,
     O::Updated, QString(), 0},
    {"refreshedIndexInstalls", [](S& s) { expiring(s, kExpiry + 9 * 86400), renewed(s, kExpiry, refresher); },
     Act::TakeIndexed, O::Updated, QString(), 1},
    {"strangersStatementProlongsNothing", [](S& s) { expiring(s, kExpiry + 9 * 86400), renewed(s, kExpiry, stranger); },
     Act::Refuse, O::IndexExpired, adv::kStatementRefused, 0},
    {"statementOfAnotherIndexProlongsNothing",
     [](S& s) { expiring(s, kExpiry + 9 * 86400), renewed(s, kExpiry, refresher, "altro indice"); }, Act::Refuse,
     O::IndexExpired, adv::kStatementRefused, 0},
    // --check's answers.
    {"checkIndexed", check, Act::Settle, O::UpdateAvailable, text::kUpdateAvailable, 0},
    {"checkNotDue", [](S& s) { staged(s), check(s); }, Act::Settle, O::UpdateAvailable, text::notDue(kDue), 0},
    {"checkWithdrawnHere", [](S& s) { withdrawn(s), check(s); }, Act::Settle, O::UpdateAvailable,
     text::withdrawnHere(kT1), 0},
    {"checkAlreadyCurrent", [](S& s) { s.record.installed = kOnB, check(s); }, Act::Settle, O::AlreadyCurrent,
     text::kAlreadyCurrent, 0},
    {"checkSigned", [](S& s) { pair(s, kT2), check(s); }, Act::Settle, O::UpdateAvailable, text::offeredRelease(kT2),
     0},
    {"checkUnsigned", [](S& s) { unsignedAsked(s, 7), check(s); }, Act::Settle, O::UpdateAvailable,
     text::kOfferedUnsigned, 0},
    {"checkUnsignedAsWhenInstalled", [](S& s) { unsignedAsked(s, 6), check(s); }, Act::Settle, O::AlreadyCurrent,
     text::kAlreadyCurrent, 0}};

INSTANTIATE_TEST_SUITE_P(Site, Decide, ::testing::ValuesIn(kDecided),
                         [](const auto& row) { return std::string(row.param.label); });

// Finding the place draws the site's id and keeps it: only a run the plan
// decides does that.
TEST(Decide, AsksForTheSitesPlaceOnlyWhenThePlanDecides)
{
    for (const Decided& row : kDecided) {
        S s = situation();
        row.setup(s);
        bool asked = false;
        s.place = [&asked] { return asked = true, 50; };
        (void)adv::decide(s);
        const bool planDecides =
            (row.act == Act::TakeIndexed && row.outcome == O::Updated && s.mode != adv::UpdateMode::Operator) ||
            row.words == text::notDue(kDue) || row.words == text::kUpdateAvailable || row.outcome == O::DownloadFailed;
        EXPECT_EQ(asked, planDecides) << row.label;
    }
}

// An earlier release of this updater kept its floor in the signature beside
// the program; one dated far ahead would refuse every later release.
TEST(Decide, TheFloorAnEarlierUpdaterKeptHoldsUnlessDatedAhead)
{
    EXPECT_EQ(adv::legacyFloor(signatureOf("MZ A", kT1), kAt), kT1);
    EXPECT_EQ(adv::legacyFloor(signatureOf("MZ A", kAhead), kAt), std::nullopt);
}

// What scripts see of each outcome.
TEST(Decide, EachOutcomeExitsWithItsStatus)
{
    using enum UpdateOutcome;
    const std::pair<UpdateOutcome, int> rows[] = {
        {Cancelled, 1},         {Updated, 0},        {ConnectFailed, 2},   {FolderMissing, 3}, {NotInstalled, 4},
        {DownloadFailed, 5},    {Interrupted, 5},    {NotAuthentic, 6},    {OlderRelease, 7},  {FutureRelease, 9},
        {AlreadyCurrent, 0},    {RecordDamaged, 10}, {ProgramRunning, 11}, {RolledBack, 0},    {NothingKept, 8},
        {RollBackFailed, 12},   {NotDue, 0},         {Paused, 0},          {Restored, 0},      {UpdateAvailable, 19},
        {SignatureMissing, 20}, {AnotherUpdate, 21}, {IndexExpired, 23}};
    for (const auto& [outcome, status] : rows)
        EXPECT_EQ(adv::code(adv::exitStatus(outcome)), status) << static_cast<int>(outcome);
}

// The installation below a temporary root; which pids run its program is the row's to say.
class Site final : public adv::InstallSite {
public:
    explicit Site(const fs::path& root) : disk_(adv::installSiteBelow(root)) {}
    install::Opened open(bool orOnlyPrevious) override { return disk_->open(orOnlyPrevious); }
    std::vector<long> runningTheProgram(std::span<const long>) override { return running; }
    std::vector<adv::LeftRunning> runningTheProgramNow(bool replaced) override
    {
        return replaced ? runningReplaced : runningNow;
    }
    std::vector<long> running;
    std::vector<adv::LeftRunning> runningNow, runningReplaced;

private:
    std::unique_ptr<adv::InstallSite> disk_;
};

struct Stage {
    QTemporaryDir dir;
    fs::path folder = fs::path(dir.path().toStdString()) / "dolvo";
    adv::test::Maker maker;
    adv::test::ScriptedFtp ftp;
    Site site{fs::path(dir.path().toStdString())};
    adv::Config config;
    std::vector<adv::LeftRunning> left;
    int closed = 0;  // how often the programs were closed
    std::unique_ptr<install::FileReplacement> holder;

    Stage()
    {
        fs::create_directories(folder);
        put("dolvo.exe", "MZ 1");
        config.root = dir.path().toStdString();
        config.publicKey = maker.key();
        config.siteId = "sito-0";
        ftp.serving = true;
    }
    void put(const std::string& name, const std::string& bytes)
    {
        std::ofstream(folder / name, std::ios::binary) << bytes;
    }
    std::string read(const std::string& name) const
    {
        std::ifstream in(folder / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void publish(const std::string& bytes, long long at)
    {
        ftp.files = {{"dolvo.exe", bytes}, {"dolvo.exe.minisig", maker.release(bytes, at)}};
    }
    // The maker's index, offering `bytes` signed at `at`, and its release file.
    adv::ReleaseIndex publishIndexed(const std::string& bytes, long long at, std::vector<adv::minisign::Hash> back = {},
                                     long long indexAt = 0, std::string_view plan = {})
    {
        const std::string name = adv::releaseFileName(at, adv::minisign::hashOf(bytes));
        adv::ReleaseIndex index{adv::releasePath(name),
                                std::ssize(bytes),
                                adv::minisign::hashOf(bytes),
                                at,
                                plan.empty() ? adv::Rollout{} : *adv::Rollout::parse(plan),
                                back,
                                {},
                                0,
                                {},
                                0,
                                0,
                                {}};
        const std::string seal =
            maker.signatureOf(index.text(), adv::minisign::trustedComment(indexAt ? indexAt : at, adv::kIndexName));
        ftp.files = {{adv::kIndexName, adv::sealedIndex(seal, index.text())},
                     {name, bytes},
                     {adv::signatureName(name), maker.release(bytes, at)}};
        return index;
    }
    adv::UpdateReport update(adv::test::ScriptedFtp& server)
    {
        adv::test::RecordingUi ui(true);
        return adv::UpdateCommand(ui, server, site, config, {.mode = adv::UpdateMode::Nightly, .leftRunning = left});
    }
};

// What the server offers now, installed by an earlier run.
void installOffered(Stage& s)
{
    adv::test::ScriptedFtp earlier;
    earlier.serving = true;
    earlier.files = s.ftp.files;
    ASSERT_EQ(s.update(earlier).outcome, UpdateOutcome::Updated);
}

void released(Stage& s, const std::string& bytes, long long at)
{
    s.publish(bytes, at);
    installOffered(s);
}

struct Row {
    const char* label;
    std::function<void(Stage&)> setup;
    bool rollBack;
    UpdateOutcome outcome;
    adv::ExitStatus status;
    QString line;           // the last status line begins so
    const char* installed;  // dolvo.exe afterwards
    bool programFetched;
};

// A download of an indexed release cut at byte 900 goes on from there the
// next night; a kept part that is not the release's start is thrown away.
TEST(Resume, ACutDownloadGoesOnAndAPartOfAnotherFileStartsOver)
{
    const std::string release = "MZ 2 " + std::string(1000, 'r');
    for (const bool ours : {true, false}) {
        Stage stage;
        const adv::ReleaseIndex index = stage.publishIndexed(release, 2000);
        const std::string file(adv::releaseFileOf(index.release));
        stage.ftp.cutAt[file] = 900;
        EXPECT_EQ(stage.update(stage.ftp).outcome, UpdateOutcome::DownloadFailed);
        if (!ours)
            stage.put(".dolvo.exe.part-" + adv::minisign::toHex(index.hash).substr(0, 32), std::string(900, 'x'));
        stage.ftp.cutAt.clear();
        stage.ftp.delivered.clear();
        EXPECT_EQ(stage.update(stage.ftp).outcome, UpdateOutcome::Updated);
        EXPECT_EQ(stage.read("dolvo.exe"), release);
        EXPECT_EQ(stage.ftp.delivered[file], ours ? 105U : 105U + 1005U);
    }
}

class Decision : public ::testing::TestWithParam<Row> {};

TEST_P(Decision, EndsAsTheTableSays)
{
    const Row& row = GetParam();
    Stage stage;
    row.setup(stage);
    adv::test::RecordingUi ui(true);
    const adv::UpdateReport report =
        row.rollBack ? adv::RollBackCommand(ui, stage.site, stage.config, stage.left)
                     : adv::UpdateCommand(ui, stage.ftp, stage.site, stage.config,
                                          {.mode = adv::UpdateMode::Nightly,
                                           .closePrograms = [&stage] { return ++stage.closed, stage.left; }});
    EXPECT_EQ(report.outcome, row.outcome) << report.cause.logged().toStdString();
    EXPECT_EQ(adv::exitStatus(report.outcome), row.status);
    ASSERT_FALSE(ui.lines.isEmpty());
    EXPECT_TRUE(ui.lines.back().startsWith(row.line)) << ui.lines.join(u'\n').toStdString();
    EXPECT_EQ(stage.read("dolvo.exe"), row.installed);
    EXPECT_EQ(std::ranges::any_of(
                  stage.ftp.calls,
                  [](const std::string& call) { return call.starts_with("fetch:dolvo") && call.ends_with(".exe"); }),
              row.programFetched);
    EXPECT_EQ(stage.ftp.asked("close"), adv::exitStatus(row.outcome) == adv::ExitStatus::Success && !row.rollBack);
    // Said only when a download starts.
    EXPECT_EQ(ui.lines.contains(text::kDownloadStarts), row.programFetched && !row.rollBack);
    // An index read here before is asked about, not fetched again.
    EXPECT_FALSE(row.outcome == UpdateOutcome::AlreadyCurrent && stage.ftp.asked("fetch:dolvo.exe.index"));
    // Closed exactly when a release, downloaded and checked, will be installed or put back.
    EXPECT_EQ(stage.closed,
              !row.rollBack && (row.outcome == UpdateOutcome::Updated || row.outcome == UpdateOutcome::Restored ||
                                row.outcome == UpdateOutcome::ProgramRunning));
}

INSTANTIATE_TEST_SUITE_P(
    Update, Decision,
    ::testing::Values(
        Row{"genuine", [](Stage& s) { s.publish("MZ 2", 2000); }, false, UpdateOutcome::Updated,
            ExitStatus::Success, text::kUpdated, "MZ 2", true},
        Row{"noSession", [](Stage& s) { s.ftp.openResult = false; }, false,
            UpdateOutcome::ConnectFailed, ExitStatus::ConnectFailed, u"Impossibile connettersi al server"_s, "MZ 1",
            false},
        Row{"noFolder", [](Stage& s) { s.ftp.folderResult = false; }, false,
            UpdateOutcome::FolderMissing, ExitStatus::FolderMissing, text::kFolderMissing, "MZ 1", false},
        Row{"noProgram", [](Stage& s) { s.config.publicKey.reset(); }, false, UpdateOutcome::DownloadFailed,
            ExitStatus::DownloadFailed, text::kDownloadFailed, "MZ 1", true},
        Row{"stopped",
            [](Stage& s) {
                s.publish("MZ 2", 2000);
                s.ftp.onFetch = [&s](const platform::FtpProgress&) {
                    if (s.ftp.calls.back() == "fetch:dolvo.exe")
                        s.ftp.interrupted = [] { return true; };
                };
            },
            false, UpdateOutcome::Interrupted, ExitStatus::DownloadFailed, text::kInterrupted, "MZ 1", true},
        Row{"notInstalled",
            [](Stage& s) {
                fs::remove(s.folder / "dolvo.exe");
                s.publish("MZ 2", 2000);
            },
            false, UpdateOutcome::NotInstalled, ExitStatus::NotInstalled, text::kNotInstalled, "", false},
        Row{"signatureMissing", [](Stage& s) { s.ftp.files = {{"dolvo.exe", "MZ 2"}}; }, false,
            UpdateOutcome::SignatureMissing, ExitStatus::SignatureMissing, text::kSignatureMissing, "MZ 1", false},
        Row{"anotherKey",
            [](Stage& s) {
                s.publish("MZ 2", 2000);
                s.ftp.files["dolvo.exe.minisig"] = adv::test::Maker().release("MZ 2", 2000);
            },
            false, UpdateOutcome::NotAuthentic, ExitStatus::NotAuthentic, text::kNotAuthentic, "MZ 1", false},
        Row{"tampered",
            [](Stage& s) {
                s.publish("MZ 2", 2000);
                s.ftp.files["dolvo.exe"] = "MZ X";
            },
            false, UpdateOutcome::NotAuthentic, ExitStatus::NotAuthentic, text::kNotAuthentic, "MZ 1", true},
        // The maker publishes between the signature and the program: taken again, whole.
        Row{"publishedMeanwhile",
            [](Stage& s) {
                s.publish("MZ 2", 2000);
                s.ftp.onFetch = [&s](const platform::FtpProgress&) {
                    if (s.ftp.calls.back() == "fetch:dolvo.exe" && s.ftp.files["dolvo.exe"] == "MZ 2")
                        s.publish("MZ 3", 3000);
                };
            },
            false, UpdateOutcome::Updated, ExitStatus::Success, text::kUpdated, "MZ 3", true},
        Row{"theFloorTheEarlierUpdaterKept",
            [](Stage& s) {
                s.put("dolvo.exe.minisig", s.maker.release("MZ 1", 3000));
                s.publish("MZ 2", 2000);
            },
            false, UpdateOutcome::OlderRelease, ExitStatus::OlderRelease, text::kOlderRelease, "MZ 1", false},
        Row{"theInstalledProgramRuns",
            [](Stage& s) {
                s.publish("MZ 2", 2000);
                s.left = {{"dolvo.exe", 4242, {}}};
                s.site.running = {4242};
            },
            false, UpdateOutcome::ProgramRunning, ExitStatus::ProgramRunning, text::kProgramRunning, "MZ 1", true},
        // Started again after the sweep, by the operator or a watchdog.
        Row{"theInstalledProgramCameBack",
            [](Stage& s) {
                s.publish("MZ 2", 2000);
                s.site.runningNow = {{"dolvo.exe", 4343, adv::LeftBecause::KeptStarting}};
            },
            false, UpdateOutcome::ProgramRunning, ExitStatus::ProgramRunning, text::kProgramRunning, "MZ 1", true},
        // Neither index nor key: downloaded to learn it is the same, and nothing closed.
        Row{"theInstalledBytesAgain",
            [](Stage& s) {
                s.config.publicKey.reset();
                s.ftp.files = {{"dolvo.exe", "MZ 1"}};
            },
            false, UpdateOutcome::AlreadyCurrent, ExitStatus::Success, text::kAlreadyCurrent, "MZ 1", true},
        // Started in the instant before the swap: the swap is undone.
        Row{"theReplacedProgramRuns",
            [](Stage& s) {
                s.publish("MZ 2", 2000);
                s.site.runningReplaced = {{"dolvo.exe", 4343, adv::LeftBecause::KeptStarting}};
            },
            false, UpdateOutcome::ProgramRunning, ExitStatus::ProgramRunning, text::kProgramRunning, "MZ 1", true},
        Row{"largerThanAllowed",
            [](Stage& s) {
                s.publishIndexed("MZ 2", 2000);
                s.config.ftp.maxDownloadBytes = 3;
            },
            false, UpdateOutcome::DownloadFailed, ExitStatus::DownloadFailed, text::kDownloadFailed, "MZ 1", false},
        Row{"alreadyCurrentClosesNothing",
            [](Stage& s) {
                s.publishIndexed("MZ 2", 2000);
                installOffered(s);
            },
            false, UpdateOutcome::AlreadyCurrent, ExitStatus::Success, text::kAlreadyCurrent, "MZ 2", false},
        // Put back from a backup: the same bytes, another file.
        Row{"aCopiedInstallationSeesItsWithdrawal",
            [](Stage& s) {
                released(s, "MZ 1.1", 1000);
                released(s, "MZ 2", 2000);
                fs::remove(s.folder / "dolvo.exe");
                s.put("dolvo.exe", "MZ 2");
                s.publishIndexed("MZ 1.1", 1000, {adv::minisign::hashOf("MZ 2")});
            },
            false, UpdateOutcome::Restored, ExitStatus::Success, text::restored(1000), "MZ 1.1", false},
        Row{"anotherDolvoRuns",
            [](Stage& s) {
                s.left = {{"dolvo.exe", 4242, {}}};
                s.publish("MZ 2", 2000);
            },
            false, UpdateOutcome::Updated, ExitStatus::Success, text::kUpdated, "MZ 2", true},
        Row{"damagedRecord",
            [](Stage& s) {
                s.put("dolvo.exe.release", "non un registro");
                s.publish("MZ 2", 2000);
            },
            false, UpdateOutcome::RecordDamaged, ExitStatus::RecordDamaged, text::kRecordDamaged, "MZ 1", false},
        Row{"indexedReleaseNotAsTheIndexSays",
            [](Stage& s) { s.ftp.files[std::string(adv::releaseFileOf(s.publishIndexed("MZ 2", 2000).release))] = "MZ X"; },
            false, UpdateOutcome::NotAuthentic, ExitStatus::NotAuthentic, text::kNotAuthentic, "MZ 1", true},
        // Installed from the index, which a later run still knows.
        Row{"anIndexOlderThanOneSeenHere",
            [](Stage& s) {
                s.publishIndexed("MZ 2", 2000);
                installOffered(s);
                s.publishIndexed("MZ 2", 2000, {}, 1500);
            },
            false, UpdateOutcome::OlderRelease, ExitStatus::OlderRelease, text::kOlderRelease, "MZ 2", false},
        Row{"withdrawnRestoredFromTheKeptProgram",
            [](Stage& s) {
                released(s, "MZ 1.1", 1000);
                released(s, "MZ 2", 2000);
                s.publishIndexed("MZ 1.1", 1000, {adv::minisign::hashOf("MZ 2")});
            },
            false, UpdateOutcome::Restored, ExitStatus::Success, text::restored(1000), "MZ 1.1", false},
        Row{"rollBack", [](Stage& s) { released(s, "MZ 2", 2000); }, true, UpdateOutcome::RolledBack,
            ExitStatus::Success, text::kRolledBack, "MZ 1", false},
        Row{"rollBackWithTheProgramGone",
            [](Stage& s) {
                released(s, "MZ 2", 2000);
                fs::remove(s.folder / "dolvo.exe");
            },
            true, UpdateOutcome::RolledBack, ExitStatus::Success, text::kRolledBack, "MZ 1", false},
        Row{"nothingToRollBackTo", [](Stage&) {}, true, UpdateOutcome::NothingKept, ExitStatus::NothingKept,
            text::kNothingKept, "MZ 1", false},
        Row{"rollBackWhileTheProgramRuns",
            [](Stage& s) {
                released(s, "MZ 2", 2000);
                s.left = {{"dolvo.exe", 4242, {}}};
                s.site.running = {4242};
            },
            true, UpdateOutcome::ProgramRunning, ExitStatus::ProgramRunning, text::kProgramRunning, "MZ 2", false},
        Row{"updateWhileAnotherUpdaterRuns",
            [](Stage& s) {
                s.publish("MZ 2", 2000);
                s.holder = install::FileReplacement::open(s.folder / "dolvo.exe").replacement;
                ASSERT_TRUE(s.holder && s.holder->lock());
            },
            false, UpdateOutcome::AnotherUpdate, ExitStatus::AnotherUpdate, text::kAnotherUpdate, "MZ 1", false},
        Row{"rollBackWhileAnotherUpdaterRuns",
            [](Stage& s) {
                released(s, "MZ 2", 2000);
                s.holder = install::FileReplacement::open(s.folder / "dolvo.exe").replacement;
                ASSERT_TRUE(s.holder && s.holder->lock());
            },
            true, UpdateOutcome::AnotherUpdate, ExitStatus::AnotherUpdate, text::kAnotherUpdate, "MZ 2", false}),
    [](const auto& row) { return std::string(row.param.label); });

// The report each run leaves on the server, after a first run whose report
// went: what the maker counts of each outcome, and how it follows the first.
struct Reported {
    const char* label;
    std::function<void(Stage&)> setup;
    const char* outcome;
    int exit;
    const char* cause;
    const char* phase;
    const char *installed, *previous, *tried;  // the program's bytes; "": none
    bool sent;
};

class SiteReport : public ::testing::TestWithParam<Reported> {};

TEST_P(SiteReport, TellsTheMakerHowTheRunEnded)
{
    const Reported& row = GetParam();
    Stage stage;
    stage.config.logFile = stage.dir.path() + u"/log/AggiornaDV.log"_s;
    const std::string file = "reports/" + adv::reportName("sito-0");
    const auto run = [&stage] {
        adv::test::RecordingUi ui(true);
        return adv::UpdateCommand(ui, stage.ftp, stage.site, stage.config,
                                  {.mode = adv::UpdateMode::Nightly, .reportAs = "update"})
            .siteReport;
    };
    const adv::SiteReport first = *adv::readReport(run()).report;  // no signature beside dolvo.exe
    row.setup(stage);
    const std::string text = run();
    const std::optional<adv::SiteReport> r = adv::readReport(text).report;
    ASSERT_TRUE(r) << text << adv::readReport(text).problem.toStdString();
    EXPECT_EQ(stage.ftp.files[file] == text, row.sent);
    if (!stage.ftp.openResult) {  // refused: the next run that gets in carries it
        EXPECT_EQ(r->unsentSince, 0);
        stage.ftp.openResult = true;
        const adv::SiteReport next = *adv::readReport(run()).report;
        EXPECT_EQ(next.unsentSince, r->at);
        EXPECT_EQ(next.history, (std::vector{r->asRun(), first.asRun()}));
        EXPECT_EQ(next.previousRun, first.run);
        EXPECT_EQ(stage.ftp.files[file], adv::reportText(next));
    }
    const auto tag = [](const char* bytes) {
        return *bytes ? adv::minisign::toHex(adv::minisign::hashOf(bytes)).substr(0, 32) : std::string();
    };
    EXPECT_EQ(std::tuple(r->outcome, r->exit, r->cause, r->phase),
              std::tuple(row.outcome, row.exit, row.cause, row.phase));
    EXPECT_EQ(std::tuple(r->installed, r->previous, r->tried),
              std::tuple(tag(row.installed), tag(row.previous), tag(row.tried)));
    EXPECT_EQ(std::tuple(r->seq, r->previousRun, r->history), std::tuple(2, first.run, std::vector{first.asRun()}));
    EXPECT_NE(r->run, first.run);
    EXPECT_EQ(first.outcome, "signature-missing");
}

const std::int64_t kNow = QDateTime::currentSecsSinceEpoch();

INSTANTIATE_TEST_SUITE_P(
    Update, SiteReport,
    ::testing::Values(
        Reported{"updated", [](Stage& s) { s.publishIndexed("MZ 2", 2000); }, "updated", 0, "", "done", "MZ 2", "MZ 1",
                 "MZ 2", true},
        Reported{"alreadyCurrent",
                 [](Stage& s) {
                     s.publishIndexed("MZ 2", 2000);
                     installOffered(s);
                 },
                 "already-current", 0, "", "done", "MZ 2", "MZ 1", "", true},
        Reported{"notDue",
                 [](Stage& s) {
                     s.config.group = adv::SiteGroup::Last;
                     s.publishIndexed("MZ 2", kNow - 60, {}, 0, "10@0h,100@48h");
                 },
                 "not-due", 0, "", "done", "MZ 1", "", "", true},
        Reported{"paused", [](Stage& s) { s.publishIndexed("MZ 2", 2000, {}, 0, "pausa"); }, "paused", 0, "", "done",
                 "MZ 1", "", "", true},
        Reported{
            "downloadCut",
            [](Stage& s) { s.ftp.cutAt[std::string(adv::releaseFileOf(s.publishIndexed("MZ 2", 2000).release))] = 2; },
            "download-failed", 5, "transfer", "download", "MZ 1", "", "MZ 2", true},
        Reported{"notAuthentic",
                 [](Stage& s) {
                     s.ftp.files[std::string(adv::releaseFileOf(s.publishIndexed("MZ 2", 2000).release))] = "MZ X";
                 },
                 "not-authentic", 6, "", "download", "MZ 1", "", "MZ 2", true},
        Reported{"programCameBack",
                 [](Stage& s) {
                     s.publishIndexed("MZ 2", 2000);
                     s.site.runningNow = {{"dolvo.exe", 4343, adv::LeftBecause::KeptStarting}};
                 },
                 "program-running", 11, "", "install", "MZ 1", "", "MZ 2", true},
        // Installed by hand, no release is known before a run reads the server.
        Reported{"loginRefused", [](Stage& s) { s.ftp.openResult = false; }, "connect-failed", 2, "login", "connect",
                 "", "", "", false},
        // The exit status is the update's alone.
        Reported{"reportRefused",
                 [](Stage& s) {
                     s.publishIndexed("MZ 2", 2000);
                     s.ftp.placeResult = false;
                 },
                 "updated", 0, "", "done", "MZ 2", "MZ 1", "MZ 2", false}),
    [](const auto& row) { return std::string(row.param.label); });

// --check says where the site stands, what it is offered and what it would
// do, and neither asks, locks nor writes anything.
TEST(Check, SaysWhereTheSiteStandsAndWritesNothing)
{
    Stage stage;
    const adv::ReleaseIndex index = stage.publishIndexed("MZ 2", 2000);
    adv::test::RecordingUi ui(false);
    EXPECT_EQ(adv::UpdateCommand(ui, stage.ftp, stage.site, stage.config, {.mode = adv::UpdateMode::Check}).outcome,
              UpdateOutcome::UpdateAvailable);
    EXPECT_EQ(ui.lines,
              (QStringList{text::kConnecting, text::kConnected, text::installedRelease({}),
                           text::offeredIndexed(index, adv::minisign::toHex(index.hash)), text::kUpdateAvailable}));
    EXPECT_EQ(std::distance(fs::directory_iterator(stage.folder), fs::directory_iterator()), 1) << "only dolvo.exe";
}

// Where Dolvo should be, as the system writes a path: on Windows a drive
// is its top folder, Z:\dolvo\dolvo.exe.
TEST(UpdateTexts, TheMissingProgramIsNamedAsTheSystemWritesPaths)
{
    const char* drive = platform::isDriveName("z:") ? "Z:/dolvo/dolvo.exe" : "z:/dolvo/dolvo.exe";
    for (const auto& [root, shown] : {std::pair{"z:", drive}, std::pair{"/srv/c", "/srv/c/dolvo/dolvo.exe"}})
        EXPECT_EQ(text::notInstalledCause(root),
                  u"non c'è il file "_s + QDir::toNativeSeparators(QString::fromUtf8(shown)));
}

// Dates as Italian writes them after "il" and "dal".
TEST(UpdateTexts, DatesReadAsItalianWritesThem)
{
    using R = std::tuple<int, const char*, const char*>;
    for (const auto& [day, on, from] :
         {R{1, "il 1º gennaio 2027, 12:00", "dal 1º gennaio"}, R{8, "l'8 gennaio", "dall'8"},
          R{11, "l'11 gennaio", "dall'11"}, R{9, "il 9 gennaio", "dal 9"}}) {
        const std::int64_t at = QDateTime(QDate(2027, 1, day), QTime(12, 0)).toSecsSinceEpoch();
        EXPECT_TRUE(text::onDate(at).startsWith(QString::fromUtf8(on))) << text::onDate(at).toStdString();
        EXPECT_TRUE(text::fromDate(at).startsWith(QString::fromUtf8(from))) << text::fromDate(at).toStdString();
    }
}

}  // namespace
