// What the update and roll-back commands decide, each outcome once: over a
// server given as a table and an installation in a temporary folder, with
// the maker's signatures made here. Needs no root, no network, no Wine.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <tuple>

#include "app/core/Config.h"
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

// The installation below a temporary root; which pids run its program is the row's to say.
class Site final : public adv::InstallSite {
public:
    explicit Site(const fs::path& root) : disk_(adv::installSiteBelow(root)) {}
    install::Opened open(bool orOnlyPrevious) override { return disk_->open(orOnlyPrevious); }
    std::vector<long> runningTheProgram(std::span<const long>) override { return running; }
    std::vector<long> running;

private:
    std::unique_ptr<adv::InstallSite> disk_;
};

const long long kNow = QDateTime::currentSecsSinceEpoch();

struct Stage {
    QTemporaryDir dir;
    fs::path folder = fs::path(dir.path().toStdString()) / "dolvo";
    adv::test::Maker maker;
    adv::test::ScriptedFtp ftp;
    Site site{fs::path(dir.path().toStdString())};
    adv::Config config;
    std::vector<adv::LeftRunning> left;
    std::unique_ptr<install::FileReplacement> holder;

    Stage()
    {
        fs::create_directories(folder);
        put("dolvo.exe", "MZ 1");
        config.root = dir.path().toStdString();
        config.publicKey = maker.key();
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
    adv::UpdateReport update() { return update(ftp); }
    adv::UpdateReport update(adv::test::ScriptedFtp& server)
    {
        adv::test::RecordingUi ui(true);
        return adv::UpdateCommand(ui, server, site, config, {.mode = adv::UpdateMode::Nightly, .leftRunning = left});
    }
};

void released(Stage& s, const std::string& bytes, long long at)
{
    s.publish(bytes, at);
    adv::test::ScriptedFtp earlier;
    earlier.serving = true;
    earlier.files = s.ftp.files;
    ASSERT_EQ(s.update(earlier).outcome, UpdateOutcome::Updated);
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
                                          {.mode = adv::UpdateMode::Nightly, .leftRunning = stage.left});
    EXPECT_EQ(report.outcome, row.outcome) << report.cause.logged().toStdString();
    EXPECT_EQ(adv::exitStatus(report.outcome), row.status);
    ASSERT_FALSE(ui.lines.isEmpty());
    EXPECT_TRUE(ui.lines.back().startsWith(row.line)) << ui.lines.join(u'\n').toStdString();
    EXPECT_EQ(stage.read("dolvo.exe"), row.installed);
    EXPECT_EQ(stage.ftp.asked("fetch:dolvo.exe"), row.programFetched);
    EXPECT_EQ(stage.ftp.asked("close"), adv::exitStatus(row.outcome) == adv::ExitStatus::Success && !row.rollBack);
    if (row.outcome == UpdateOutcome::ProgramRunning) {
        EXPECT_TRUE(stage.ftp.calls.empty()) << "the server was asked while the program runs";
    }
}

using adv::ExitStatus;
namespace text = adv::text;

INSTANTIATE_TEST_SUITE_P(
    Update, Decision,
    ::testing::Values(
        Row{"unsigned", [](Stage& s) { s.config.publicKey.reset(), s.ftp.files = {{"dolvo.exe", "MZ 2"}}; }, false,
            UpdateOutcome::Updated, ExitStatus::Success, text::kUpdated, "MZ 2", true},
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
        Row{"belowTheFloor",
            [](Stage& s) {
                released(s, "MZ 3", 3000);
                s.publish("MZ 2", 2000);
            },
            false, UpdateOutcome::OlderRelease, ExitStatus::OlderRelease, text::kOlderRelease, "MZ 3", false},
        Row{"theInstalledReleaseBelowTheFloor",
            [](Stage& s) {
                released(s, "MZ 2", 2000);
                released(s, "MZ 3", 3000);
                adv::test::RecordingUi ui(true);
                adv::RollBackCommand(ui, s.site, s.config);
                s.publish("MZ 2", 2000);
            },
            false, UpdateOutcome::AlreadyCurrent, ExitStatus::Success, text::kAlreadyCurrent, "MZ 2", false},
        Row{"theFloorTheEarlierUpdaterKept",
            [](Stage& s) {
                s.put("dolvo.exe.minisig", s.maker.release("MZ 1", 3000));
                s.publish("MZ 2", 2000);
            },
            false, UpdateOutcome::OlderRelease, ExitStatus::OlderRelease, text::kOlderRelease, "MZ 1", false},
        Row{"aKeptFloorDatedAheadHoldsNothing",
            [](Stage& s) {
                s.put("dolvo.exe.minisig", s.maker.release("MZ 1", kNow + 2 * 86400));
                s.publish("MZ 2", 2000);
            },
            false, UpdateOutcome::Updated, ExitStatus::Success, text::kUpdated, "MZ 2", true},
        Row{"signedADayAhead", [](Stage& s) { s.publish("MZ 2", kNow + 86400 - 60); }, false, UpdateOutcome::Updated,
            ExitStatus::Success, text::kUpdated, "MZ 2", true},
        Row{"signedMoreThanADayAhead", [](Stage& s) { s.publish("MZ 2", kNow + 86400 + 60); }, false,
            UpdateOutcome::FutureRelease, ExitStatus::FutureRelease,
            u"La versione sul server è firmata "_s + text::onDate(kNow + 86400 + 60), "MZ 1", false},
        Row{"theInstalledProgramRuns",
            [](Stage& s) {
                s.left = {{"dolvo.exe", 4242, {}}};
                s.site.running = {4242};
            },
            false, UpdateOutcome::ProgramRunning, ExitStatus::ProgramRunning, text::kProgramRunning, "MZ 1", false},
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
