// The maker's publish against a real FTP server on 127.0.0.1: whatever
// happens, sites are only ever offered a whole release, old or new.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>
#include <string>

#include "app/core/PublishCommand.h"
#include "app/core/UpdateCommand.h"
#include "tests/support/FtpServer.h"
#include "tests/support/MinisignMaker.h"
#include "tests/support/RecordingUi.h"

using namespace Qt::StringLiterals;
using adv::PublishOutcome;
using adv::test::FtpFault;

namespace {

constexpr std::int64_t kOld = 1790000000, kNow = 1796000000;
const std::string kProgram = "MZ la versione nuova di dolvo.exe";

void put(const QString& path, const std::string& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes.data(), qint64(bytes.size())) >= 0);
}

std::string got(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

// The maker's machine and the server's tree, which offers an old release.
struct Site {
    QTemporaryDir dir;
    QString served = dir.filePath(u"ftp"_s), folder = served + u"/download"_s;
    adv::test::Maker maker, stranger;

    Site()
    {
        put(folder + u"/dolvo.exe"_s, "MZ vecchia");
        put(folder + u"/dolvo.exe.minisig"_s, maker.release("MZ vecchia", kOld));
        put(dir.filePath(u"dolvo.exe"_s), kProgram);
        put(dir.filePath(u"maker.key"_s), maker.secretKeyFile());
        put(dir.filePath(u"stranger.key"_s), stranger.secretKeyFile());
    }
    std::map<QString, std::string> tree() const
    {
        std::map<QString, std::string> files;
        for (QDirIterator it(served, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
             it.hasNext();) {
            const QString path = it.next();
            files[path.mid(served.size())] = got(path);
        }
        return files;
    }
    adv::PublishReport publish(FtpFault fault, const QString& key = u"maker.key"_s, const std::string& signature = {},
                               std::int64_t now = kNow, int cutAt = 0, adv::test::RecordingUi* ui = nullptr,
                               adv::PublishAction action = adv::PublishAction::Release, const char* plan = "100")
    {
        adv::test::FtpServerOptions options;
        options.root = served;
        options.writable = true;
        options.fault = fault;
        options.faultAfterBytes = cutAt;
        adv::test::FtpServer server(options);
        adv::Config config = configFor(server);
        config.signingKey = dir.filePath(key);
        adv::PublishRequest request{action, dir.filePath(u"dolvo.exe"_s), {}, *adv::Rollout::parse(plan)};
        if (!signature.empty()) {
            put(dir.filePath(u"given.minisig"_s), signature);
            request.signatureFile = dir.filePath(u"given.minisig"_s);
        }
        adv::test::RecordingUi own(true);
        auto ftp = adv::platform::makeCurlFtpPublishSession(config.ftp);
        return adv::PublishCommand(
            ui ? *ui : own, *ftp, config, request, [] { return std::nullopt; }, now);
    }
    // The maker's, or with another root, a site's.
    adv::Config configFor(const adv::test::FtpServer& server) const
    {
        adv::Config config;
        config.host = "127.0.0.1";
        config.user = server.options().user;
        config.password = server.options().password;
        config.remoteFolder = "download";
        config.ftp.port = server.port();
        config.ftp.connectTimeout = std::chrono::seconds(5);
        config.publicKey = maker.key();
        return config;
    }
    adv::PublishReport plan(adv::PublishAction action, const char* rollout, std::int64_t now)
    {
        return publish(FtpFault::None, u"maker.key"_s, {}, now, 0, nullptr, action, rollout);
    }
    std::optional<adv::ReleaseIndex> index() const
    {
        const auto parts = adv::openedIndex(got(folder + u"/dolvo.exe.index"_s));
        return parts ? adv::readReleaseIndex(parts->second).index : std::nullopt;
    }
    // What sites see: the pair, and the index, each whole and the maker's.
    void expectWhole(const std::string& program, const char* label) const
    {
        const auto signature =
            adv::minisign::Signature::check(got(folder + u"/dolvo.exe.minisig"_s), maker.key(), "dolvo.exe");
        ASSERT_TRUE(signature.signature) << label;
        EXPECT_TRUE(signature.signature->verifies(adv::minisign::hashOf(got(folder + u"/dolvo.exe"_s)))) << label;
        EXPECT_EQ(got(folder + u"/dolvo.exe"_s), program) << label;
        const std::string stored = got(folder + u"/dolvo.exe.index"_s);
        if (stored.empty())
            return;
        const auto parts = adv::openedIndex(stored);
        ASSERT_TRUE(parts) << label;
        const auto index = adv::readReleaseIndex(parts->second).index;
        ASSERT_TRUE(index) << label;
        EXPECT_EQ(adv::minisign::hashOf(got(folder + u'/' + QString::fromStdString(index->release))), index->hash)
            << label;
    }
};

TEST(Publish, ReleasesWholeOrRefusesBeforeSendingAnything)
{
    const struct {
        const char* label;
        FtpFault fault;
        const char* lock;  // another publisher's lock: its owner line ("": none written); nullptr: no lock
        QString key;
        const char* given;  // the maker's own signature's trusted comment; nullptr: signed here
        std::int64_t now;
        PublishOutcome outcome;
    } rows[] = {
        {"a new release", FtpFault::None, nullptr, u"maker.key"_s, nullptr, kNow, PublishOutcome::Published},
        {"a server that keeps names in use", FtpFault::RenameKeeps, nullptr, u"maker.key"_s, nullptr, kNow,
         PublishOutcome::Published},
        {"another key", FtpFault::None, nullptr, u"stranger.key"_s, nullptr, kNow, PublishOutcome::Refused},
        {"a signature of another file", FtpFault::None, nullptr, u"maker.key"_s, "timestamp:1796000000\tfile:altro.exe",
         kNow, PublishOutcome::Refused},
        {"a signature dated two days ahead", FtpFault::None, nullptr, u"maker.key"_s,
         "timestamp:1796172800\tfile:dolvo.exe", kNow, PublishOutcome::Refused},
        {"not newer than the server's", FtpFault::None, nullptr, u"maker.key"_s, nullptr, kOld,
         PublishOutcome::Refused},
        // Another publisher's lock holds for an hour, by either clock; one a
        // cut left without its owner is taken over.
        {"locked a while ago", FtpFault::None, "altro pid 7 1795999000\n", u"maker.key"_s, nullptr, kNow,
         PublishOutcome::Locked},
        {"locked by a clock ahead", FtpFault::None, "altro pid 7 1796003000\n", u"maker.key"_s, nullptr, kNow,
         PublishOutcome::Locked},
        {"locked hours ago", FtpFault::None, "altro pid 7 1795990000\n", u"maker.key"_s, nullptr, kNow,
         PublishOutcome::Published},
        {"locked by a clock a day ahead", FtpFault::None, "altro pid 7 1796090000\n", u"maker.key"_s, nullptr, kNow,
         PublishOutcome::Published},
        {"a lock without owner", FtpFault::None, "", u"maker.key"_s, nullptr, kNow, PublishOutcome::Published},
    };
    for (const auto& row : rows) {
        Site site;
        if (row.lock)
            QDir().mkpath(site.folder + u"/dolvo.exe.publishing"_s);
        if (row.lock && *row.lock)
            put(site.folder + u"/dolvo.exe.publishing/owner"_s, row.lock);
        const auto before = site.tree();
        const std::string signature = row.given ? site.maker.signatureOf(kProgram, row.given) : std::string();
        adv::test::RecordingUi ui(true);
        const adv::PublishReport report = site.publish(row.fault, row.key, signature, row.now, 0, &ui);
        EXPECT_EQ(report.outcome, row.outcome) << row.label << ": " << report.cause.toStdString();
        if (row.outcome != PublishOutcome::Published) {
            EXPECT_EQ(site.tree(), before) << row.label;
            continue;
        }
        site.expectWhole(kProgram, row.label);
        const auto after = site.tree();
        EXPECT_TRUE(std::none_of(after.begin(), after.end(), [](const auto& file) {
            return file.first.endsWith(u".part"_s) || file.first.contains(u"publishing"_s);
        })) << row.label;
        EXPECT_EQ(ui.lines.join(u'\n').contains(u"cancellato prima"_s), row.fault == FtpFault::RenameKeeps)
            << row.label;
    }
}

// Cut at each of its steps in turn, a publish leaves sites a whole release;
// the next publish finishes the job and clears what the cut left.
TEST(Publish, ACutAtAnyStepLeavesAWholeReleaseOffered)
{
    for (int step = 1;; ++step) {
        Site site;
        const std::string oldSignature = got(site.folder + u"/dolvo.exe.minisig"_s);
        const adv::PublishReport cut = site.publish(FtpFault::CutWrites, u"maker.key"_s, {}, kNow, step);
        // Cut between the pair's two renames, the pair is the new program and the old signature: keyed
        // sites refuse it, installing nothing, until the next publish.
        const bool split = got(site.folder + u"/dolvo.exe"_s) == kProgram &&
                           got(site.folder + u"/dolvo.exe.minisig"_s) == oldSignature;
        if (!split)
            site.expectWhole(got(site.folder + u"/dolvo.exe"_s) == kProgram ? kProgram : "MZ vecchia",
                             std::to_string(step).c_str());
        if (cut.outcome == PublishOutcome::Published)
            break;
        // --status names what the cut left, if anything.
        const auto left = site.tree();
        const bool leftovers = std::any_of(left.begin(), left.end(), [](const auto& file) {
            return file.first.contains(u"/."_s) || file.first.contains(u"publishing"_s);
        });
        EXPECT_EQ(site.plan(adv::PublishAction::Status, "100", kNow).outcome,
                  leftovers || split ? PublishOutcome::Inconsistent : PublishOutcome::Published)
            << step;
        const adv::PublishReport again = site.publish(FtpFault::None, u"maker.key"_s, {}, kNow + 1);
        EXPECT_EQ(again.outcome, PublishOutcome::Published) << step << ": " << again.cause.toStdString();
        site.expectWhole(kProgram, std::to_string(step).c_str());
        EXPECT_EQ(site.plan(adv::PublishAction::Status, "100", kNow + 1).outcome, PublishOutcome::Published) << step;
        ASSERT_LT(step, 60) << "a publish takes fewer steps than this";
    }
}

// A staged release reaches today's sites only when its plan reaches every
// site; a pause holds it; a withdrawal puts the one before back, everywhere.
TEST(Publish, StagesPausesAndWithdrawalsAreNewSignedIndexes)
{
    using adv::PublishAction;
    Site site;
    // Names the publisher did not make are never its to remove, nor to go back to.
    const QStringList foreign{u"dolvo-old.exe"_s, u"dolvo-5-zzzzzzzz.exe"_s, u"..\\dolvo.exe"_s, u".altro.part"_s};
    for (const QString& name : foreign)
        put(site.folder + u"/releases/"_s + name, "MZ altrui");
    ASSERT_EQ(site.publish(FtpFault::None).outcome, PublishOutcome::Published);
    const char* const first = kProgram.c_str();
    const struct {
        PublishAction action;
        const char* plan;
        const char* program;  // published by this step
        const char* legacy;   // the program today's sites get
        const char* current;  // the release the index names
        bool paused;
    } steps[] = {
        {PublishAction::Release, "10@0h,100@24h", "MZ la seconda", first, "MZ la seconda", false},
        {PublishAction::ChangeRollout, "pausa", nullptr, first, "MZ la seconda", true},
        {PublishAction::ChangeRollout, "100", nullptr, "MZ la seconda", "MZ la seconda", false},
        {PublishAction::Withdraw, "100", nullptr, first, first, false},
        // The release withdrawn before is no release to go back to.
        {PublishAction::Release, "100", "MZ la terza", "MZ la terza", "MZ la terza", false},
        {PublishAction::Withdraw, "100", nullptr, first, first, false},
    };
    std::int64_t now = kNow;
    for (const auto& step : steps) {
        if (step.program)
            put(site.dir.filePath(u"dolvo.exe"_s), step.program);
        const adv::PublishReport report = site.plan(step.action, step.plan, ++now);
        ASSERT_EQ(report.outcome, PublishOutcome::Published) << step.plan << ": " << report.cause.toStdString();
        site.expectWhole(step.legacy, step.plan);
        const auto index = site.index();
        ASSERT_TRUE(index) << step.plan;
        EXPECT_EQ(index->hash, adv::minisign::hashOf(step.current)) << step.plan;
        EXPECT_EQ(index->rollout.paused, step.paused) << step.plan;
    }
    EXPECT_EQ(site.index()->withdrawn,
              (std::vector{adv::minisign::hashOf("MZ la seconda"), adv::minisign::hashOf("MZ la terza")}));
    // Nothing before the first release is left to go back to.
    EXPECT_EQ(site.plan(PublishAction::Withdraw, "100", ++now).outcome, PublishOutcome::Refused);
    EXPECT_EQ(site.plan(PublishAction::Status, "100", now).outcome, PublishOutcome::Published);
    // Sent everywhere, the release is the index's, not another the maker signed kept under its name.
    const QString kept = site.folder + u'/' + QString::fromStdString(site.index()->release);
    put(kept, "MZ vecchia");
    put(kept + u".minisig"_s, site.maker.release("MZ vecchia", kOld));
    EXPECT_EQ(site.plan(PublishAction::ChangeRollout, "100", ++now).outcome, PublishOutcome::ServerFailed);
    EXPECT_EQ(got(site.folder + u"/dolvo.exe"_s), kProgram);
    for (const QString& name : foreign)
        EXPECT_EQ(got(site.folder + u"/releases/"_s + name), "MZ altrui") << name.toStdString();
}

// While a publish runs, sites updating in a loop, with a key or without,
// install the old release or the new one, whole, and never take the new one
// for a forgery.
TEST(Publish, SitesUpdatingMeanwhileGetTheOldOrTheNewReleaseWhole)
{
    Site site;
    std::string fresh(3 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < fresh.size(); ++i)
        fresh[i] = static_cast<char>((i * 2654435761u) >> 13);
    put(site.dir.filePath(u"dolvo.exe"_s), fresh);
    adv::test::FtpServerOptions options;
    options.root = site.served;
    options.writable = true;
    options.fault = FtpFault::Throttle;
    adv::test::FtpServer server(options);
    adv::Config maker = site.configFor(server);
    maker.signingKey = site.dir.filePath(u"maker.key"_s);

    std::atomic<bool> done = false;
    adv::PublishReport published;
    std::thread publisher([&] {
        adv::test::RecordingUi ui(true);
        auto ftp = adv::platform::makeCurlFtpPublishSession(maker.ftp);
        published = adv::PublishCommand(
            ui, *ftp, maker, {adv::PublishAction::Release, site.dir.filePath(u"dolvo.exe"_s), {}, {}},
            [] { return std::nullopt; }, kNow);
        done = true;
    });
    int runs = 0;
    for (bool keyed = true; !done || runs < 2; keyed = !keyed, ++runs) {
        QTemporaryDir drive;
        const QString installed = drive.filePath(u"dolvo/dolvo.exe"_s);
        put(installed, "MZ vecchia");
        adv::Config config = site.configFor(server);
        config.root = drive.path().toStdString();
        if (!keyed)
            config.publicKey.reset();
        adv::test::RecordingUi ui(true);
        auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(config));
        const adv::UpdateReport report = adv::UpdateCommand(ui, *ftp, config, true, {});
        EXPECT_NE(report.outcome, adv::UpdateOutcome::NotAuthentic) << runs << ": " << report.cause.toStdString();
        const std::string now = got(installed);
        EXPECT_TRUE(now == "MZ vecchia" || now == fresh) << runs << ": " << now.size() << " bytes";
    }
    publisher.join();
    EXPECT_EQ(published.outcome, PublishOutcome::Published) << published.cause.toStdString();
}

// The same against a real server: Debian's Pure-FTPd, which
// scripts/install-deps.sh unpacks into the libraries' cache.
TEST(Publish, AgainstDebiansPureFtpd)
{
    const QString cache = qEnvironmentVariable(
        "ADV_DEPS_CACHE", qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + u"/.cache"_s) + u"/aggiornadv"_s);
    const QString prefix = cache + u"/pure-ftpd"_s;
    if (::geteuid() != 0)
        GTEST_SKIP() << "Pure-FTPd serves its virtual user as nobody, which only root can arrange";
    if (!QFileInfo(prefix + u"/usr/sbin/pure-ftpd"_s).isExecutable())
        GTEST_SKIP() << "no Pure-FTPd unpacked in " << prefix.toStdString() << " (scripts/install-deps.sh does it)";
    Site site;
    adv::test::FtpServerOptions options;
    options.root = site.served;
    options.writable = true;
    options.pureFtpd = prefix.toStdString();
    adv::test::FtpServer server(options);
    adv::Config maker = site.configFor(server);
    maker.signingKey = site.dir.filePath(u"maker.key"_s);
    std::string program = kProgram;
    for (const std::int64_t at : {kNow, kNow + 1}) {
        adv::test::RecordingUi ui(true);
        auto ftp = adv::platform::makeCurlFtpPublishSession(maker.ftp);
        const adv::PublishReport report = adv::PublishCommand(
            ui, *ftp, maker, {adv::PublishAction::Release, site.dir.filePath(u"dolvo.exe"_s), {}, {}},
            [] { return std::nullopt; }, at);
        ASSERT_EQ(report.outcome, PublishOutcome::Published) << at << ": " << report.cause.toStdString();
        site.expectWhole(program, "Pure-FTPd");
        program = "MZ la terza";
        put(site.dir.filePath(u"dolvo.exe"_s), program);
    }
}

}  // namespace
