// The update command against a real FTP server on 127.0.0.1: what the log
// says, what the pointer did, and what became of the installed file. The
// server's faults are the FTP client's tests; each outcome's decision is
// UpdateDecisionsTest's table.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <tuple>
#include <utility>

#include "app/core/Config.h"
#include "app/site/Pacing.h"
#include "app/site/UpdateCommand.h"
#include "app/site/UpdateTexts.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"
#include "tests/support/FtpServer.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/ScriptedFtp.h"

using namespace Qt::StringLiterals;
using adv::Pointer;
using adv::UpdateOutcome;
using adv::platform::FtpTls;
using adv::test::FtpFault;
using adv::test::RecordingUi;

namespace {

using adv::test::readFile;
using adv::test::writeFile;

const QString kConnecting = u"Collegamento al sito ZORVANIK"_s;
const QString kConnected = u"Collegamento riuscito"_s;
const QString kStarts = u"Inizio download programma "_s;
const QString kFailed = u"Impossibile scaricare il programma. Riprovare più tardi"_s;
const QString kUpdated = u"Il programma è stato aggiornato... "_s;
const QString kNoServer = u"Impossibile connettersi al server 127.0.0.1. Riprovare più tardi"_s;

QByteArray randomBytes(qsizetype size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (auto& c : b)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return b;
}

// Everything a scenario sets up: a served folder, a drive, a configuration.
struct Stage {
    QTemporaryDir dir;
    QString served = dir.filePath(u"ftp"_s);
    QString drive = dir.filePath(u"drive_c"_s);
    QString installed = drive + u"/dolvo/dolvo.exe"_s;
    QString remote = served + u"/www.zorvanik.it/download/dolvo.exe"_s;
    QByteArray oldBytes = "MZ versione vecchia";
    QByteArray newBytes = randomBytes(300 * 1024 + 17);

    Stage()
    {
        QDir().mkpath(drive);
        QDir().mkpath(served);
    }
    static constexpr int kMode = 0750;
    void install()
    {
        writeFile(installed, oldBytes);
        EXPECT_TRUE(adv::test::setMode(installed, kMode));
    }
    void publish() { writeFile(remote, newBytes); }
    QStringList dolvoFolder() const
    {
        return QDir(drive + u"/dolvo"_s).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }
};

adv::test::FtpServerOptions servedFrom(const Stage& stage, FtpFault fault = FtpFault::None, FtpTls tls = FtpTls::Off)
{
    adv::test::FtpServerOptions options;
    options.root = stage.served;
    options.fault = fault;
    options.tls = tls;
    return options;
}

adv::Config configFor(const Stage& stage, quint16 port, const std::string& password = "prova-segreta")
{
    adv::Config c;
    c.root = stage.drive.toStdString();
    c.host = "127.0.0.1";
    c.ftp.port = port;
    c.user = "operatore";
    c.password = password;
    c.ftp.connectTimeout = std::chrono::seconds(3);
    c.ftp.stallTimeout = std::chrono::seconds(2);
    return c;
}

struct Scenario {
    const char* label;
    FtpFault fault;
    UpdateOutcome outcome;
    QStringList lines;
};

class UpdateScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(UpdateScenario, LogsEachStepAndKeepsTheInstalledFileSafe)
{
    const Scenario& s = GetParam();
    Stage stage;
    stage.install();
    stage.publish();

    adv::test::FtpServerOptions options;
    options.root = stage.served;
    options.fault = s.fault;
    adv::test::FtpServer server(options);
    const adv::Config config = configFor(stage, server.port());

    RecordingUi ui(true);
    const auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(config));
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(adv::UpdateCommand(ui, *ftp, config).outcome, s.outcome);
    EXPECT_LT(clock.elapsed(), 15000) << "no step may hang past its time-out";

    EXPECT_EQ(ui.lines, s.lines);
    EXPECT_EQ(ui.questions, 1);
    EXPECT_TRUE(ui.busy);
    ASSERT_FALSE(ui.pointers.empty());
    EXPECT_EQ(ui.pointers.front(), Pointer::Hourglass);
    EXPECT_EQ(ui.pointers.back(), Pointer::Arrow);

    const QByteArray expected = s.outcome == UpdateOutcome::Updated ? stage.newBytes : stage.oldBytes;
    EXPECT_TRUE(readFile(stage.installed) == expected) << "installed file has the wrong content";
    if (adv::test::kReplacementKeepsMode || s.outcome != UpdateOutcome::Updated) {
        EXPECT_EQ(adv::test::modeOf(stage.installed), Stage::kMode) << "permissions were lost";
    }
    const QStringList left = s.outcome == UpdateOutcome::Updated
                                 ? QStringList{u"dolvo.exe"_s, u"dolvo.exe.prev"_s, u"dolvo.exe.release"_s, u"dolvo.exe.server"_s}
                                 : QStringList{u"dolvo.exe"_s};
    EXPECT_EQ(stage.dolvoFolder(), left) << "a temporary file was left behind";
    if (s.outcome == UpdateOutcome::Updated) {
        EXPECT_TRUE(readFile(stage.installed + u".prev"_s) == stage.oldBytes) << "the replaced program is not kept";
    }
    if (s.outcome == UpdateOutcome::Updated || s.outcome == UpdateOutcome::DownloadFailed) {
        EXPECT_TRUE(ui.progressHidden);
    }
}

INSTANTIATE_TEST_SUITE_P(Ftp, UpdateScenario,
                         ::testing::Values(Scenario{"success",
                                                    FtpFault::None,
                                                    UpdateOutcome::Updated,
                                                    {kConnecting, kConnected, kStarts, kUpdated}},
                                           // Unsigned, only the second look at the file tells a
                                           // whole one from an upload still under way.
                                           Scenario{"uploadStillUnderWay",
                                                    FtpFault::UploadPauses,
                                                    UpdateOutcome::DownloadFailed,
                                                    {kConnecting, kConnected, kStarts, kFailed}}),
                         [](const auto& row) { return std::string(row.param.label); });

TEST(Update, NoLeavesEverythingUntouched)
{
    Stage stage;
    stage.install();
    RecordingUi ui(false);
    adv::test::ScriptedFtp ftp;

    EXPECT_EQ(adv::UpdateCommand(ui, ftp, configFor(stage, 21)).outcome, UpdateOutcome::Cancelled);
    EXPECT_TRUE(ui.lines.isEmpty());
    EXPECT_FALSE(ui.busy);
    EXPECT_EQ(ui.pointers, (std::vector<Pointer>{Pointer::Hourglass, Pointer::Arrow}));
    EXPECT_TRUE(ftp.calls.empty());
    EXPECT_EQ(readFile(stage.installed), stage.oldBytes);
}

TEST(Update, ExplicitTlsTrustsOnlyTheConfiguredAuthority)
{
    Stage stage;
    stage.install();
    stage.publish();
    adv::test::FtpServer server(servedFrom(stage, FtpFault::None, FtpTls::Explicit));

    adv::Config config = configFor(stage, server.port());
    config.ftp.tls = FtpTls::Explicit;
    // What is tested is trust, not time: a first TLS handshake under Wine
    // (Windows' root store loaded) on a busy machine may take seconds.
    config.ftp.connectTimeout = std::chrono::seconds(20);
    {
        RecordingUi ui(true);
        const auto ftp = adv::platform::makeCurlFtpClient(config.ftp);
        EXPECT_EQ(adv::UpdateCommand(ui, *ftp, config).outcome, UpdateOutcome::ConnectFailed)
            << "a self-signed certificate is not trusted unless configured";
        EXPECT_EQ(ui.lines, (QStringList{kConnecting, kNoServer}));
        EXPECT_EQ(readFile(stage.installed), stage.oldBytes);
    }
    config.ftp.caFile = server.caFile().toStdString();
    RecordingUi ui(true);
    const auto ftp = adv::platform::makeCurlFtpClient(config.ftp);
    EXPECT_EQ(adv::UpdateCommand(ui, *ftp, config).outcome, UpdateOutcome::Updated);
    EXPECT_TRUE(readFile(stage.installed) == stage.newBytes);
    EXPECT_GT(ui.progress, 0);
}

// The installation is opened before the server is waited for: a root
// renamed meanwhile, and a link to elsewhere put in its place, are never
// followed. Linux goes on in the folder it opened; Windows refuses to move
// it, and where it is moved all the same (under Wine) the update stops.
TEST(Update, ARootSwappedWhileTheServerIsAwaitedIsNotFollowed)
{
    Stage stage;
    stage.install();
    stage.publish();
    QTemporaryDir outside;
    writeFile(outside.filePath(u"dolvo/dolvo.exe"_s), stage.oldBytes);
    adv::test::FtpServer server(servedFrom(stage));
    const adv::Config config = configFor(stage, server.port());
    RecordingUi ui(true);
    const QString moved = stage.drive + u"-spostato"_s;
    bool swapped = false;
    ui.whileWaiting = [&] {
        swapped = QDir().rename(stage.drive, moved) && adv::test::makeSymlink(outside.path(), stage.drive);
    };
    const auto ftp = adv::platform::makeCurlFtpClient(config.ftp);
    const adv::UpdateReport report = adv::UpdateCommand(ui, *ftp, config);
    EXPECT_EQ(readFile(outside.filePath(u"dolvo/dolvo.exe"_s)), stage.oldBytes) << "written outside the root";
    const QByteArray installed = readFile((swapped ? moved : stage.drive) + u"/dolvo/dolvo.exe"_s);
    if (report.outcome == UpdateOutcome::Updated) {
        EXPECT_TRUE(installed == stage.newBytes);
    } else {
        EXPECT_EQ(report.outcome, UpdateOutcome::DownloadFailed) << report.cause.logged().toStdString();
        EXPECT_TRUE(report.cause.detail.contains(u"moved"_s)) << report.cause.logged().toStdString();
        EXPECT_EQ(installed, stage.oldBytes);
    }
}

// The installed path may lead through links, but never out of the root.
struct LinkCase {
    const char* label;
    bool folderIsLink;  // ROOT/dolvo is the link (else ROOT/dolvo/dolvo.exe is)
    bool targetInsideRoot;
    UpdateOutcome outcome;
};

class InstalledThroughALink : public ::testing::TestWithParam<LinkCase> {};

TEST_P(InstalledThroughALink, IsUpdatedOnlyInsideTheRoot)
{
    const LinkCase c = GetParam();
    Stage stage;
    stage.publish();
    QTemporaryDir outside;
    const QString realFolder = c.targetInsideRoot ? stage.drive + u"/altrove/dolvo-1"_s : outside.filePath(u"dolvo"_s);
    QDir().mkpath(realFolder);
    writeFile(realFolder + u"/dolvo.exe"_s, stage.oldBytes);
    // Real symbolic links: on Windows QFile::link makes a shell shortcut.
    if (c.folderIsLink) {
        ASSERT_TRUE(adv::test::makeSymlink(realFolder, stage.drive + u"/dolvo"_s));
    } else {
        QDir().mkpath(stage.drive + u"/dolvo"_s);
        ASSERT_TRUE(adv::test::makeSymlink(realFolder + u"/dolvo.exe"_s, stage.installed));
    }

    adv::test::FtpServer server(servedFrom(stage));
    const adv::Config config = configFor(stage, server.port());
    RecordingUi ui(true);
    const auto ftp = adv::platform::makeCurlFtpClient(config.ftp);
    EXPECT_EQ(adv::UpdateCommand(ui, *ftp, config).outcome, c.outcome);
    const QByteArray expected = c.outcome == UpdateOutcome::Updated ? stage.newBytes : stage.oldBytes;
    EXPECT_TRUE(readFile(realFolder + u"/dolvo.exe"_s) == expected);
    const QStringList left = c.outcome == UpdateOutcome::Updated
                                 ? QStringList{u"dolvo.exe"_s, u"dolvo.exe.prev"_s, u"dolvo.exe.release"_s, u"dolvo.exe.server"_s}
                                 : QStringList{u"dolvo.exe"_s};
    EXPECT_EQ(QDir(realFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), left);
}

INSTANTIATE_TEST_SUITE_P(Links, InstalledThroughALink,
                         ::testing::Values(LinkCase{"fileLinkOutOfTheRoot", false, false, UpdateOutcome::NotInstalled},
                                           LinkCase{"folderLinkOutOfTheRoot", true, false, UpdateOutcome::NotInstalled},
                                           LinkCase{"fileLinkInsideTheRoot", false, true, UpdateOutcome::Updated},
                                           LinkCase{"folderLinkInsideTheRoot", true, true, UpdateOutcome::Updated}),
                         [](const auto& row) { return std::string(row.param.label); });

// Logins turned away (421) are tried again after waits up to retry_base_s,
// twice that, and so on, at most retry_max_s; a refused password is not.
struct RecordingPacer final : adv::Pacer {
    bool stop = false;
    std::vector<int> waits;
    std::int64_t now() override { return QDateTime::currentSecsSinceEpoch(); }
    int minuteOfDay(std::int64_t) override { return 0; }
    std::chrono::seconds random(std::chrono::seconds upTo) override { return upTo; }
    bool wait(std::chrono::seconds span, const std::function<bool()>&) override
    {
        waits.push_back(static_cast<int>(span.count()));
        return !stop;
    }
};

TEST(Update, TriesAgainOnlyAfterAFailureThatMayPass)
{
    using R = std::tuple<FtpFault, std::string, int, bool, UpdateOutcome, std::vector<int>>;
    for (const auto& [fault, password, retries, stop, outcome, waits] :
         {R{FtpFault::Login421, "prova-segreta", 3, false, UpdateOutcome::Updated, {10, 20, 30}},
          R{FtpFault::Login421, "prova-segreta", 3, true, UpdateOutcome::Interrupted, {10}},
          R{FtpFault::None, "sbagliata", 3, false, UpdateOutcome::ConnectFailed, {}}}) {
        Stage stage;
        stage.install();
        stage.publish();
        adv::test::FtpServerOptions options = servedFrom(stage, fault);
        options.faultAfterBytes = 3;  // logins turned away
        adv::test::FtpServer server(options);
        adv::Config config = configFor(stage, server.port(), password);
        config.retries = retries;
        config.retryBase = std::chrono::seconds(10);
        config.retryMax = std::chrono::seconds(30);
        RecordingUi ui(true);
        RecordingPacer pacer;
        pacer.stop = stop;
        const auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(config));

        EXPECT_EQ(adv::UpdateCommand(ui, *ftp, config, {.mode = adv::UpdateMode::Nightly, .pacer = &pacer}).outcome,
                  outcome)
            << ui.lines.join(u'\n').toStdString();
        EXPECT_EQ(pacer.waits, waits);
        EXPECT_EQ(server.commandLog().count(u"USER "_s), std::ssize(waits) + (stop ? 0 : 1));
        EXPECT_EQ(ui.lines.contains(u"Nuovo tentativo tra 10 s (1 di %1)"_s.arg(retries)), !waits.empty());
    }
}

}  // namespace
