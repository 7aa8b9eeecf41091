// The maker's commands wired to a real FTP server on 127.0.0.1, and sites
// reading what they publish; each outcome, over a server in memory, is in
// PublishOutcomesTest.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <string>

#include "app/maker/PublishCommand.h"
#include "app/site/Stages.h"
#include "app/site/UpdateCommand.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"
#include "tests/support/FtpServer.h"
#include "tests/support/MinisignMaker.h"
#include "tests/support/RecordingUi.h"

using namespace Qt::StringLiterals;
using adv::PublishOutcome;
using adv::test::FtpFault;

namespace {

// The server's clock is the real one, and the maker's must agree with it;
// a minute behind, so that the sites, on the real clock, find the releases
// signed "now" and "now + 1" already due.
const std::int64_t kNow = QDateTime::currentSecsSinceEpoch() - 60, kOld = kNow - 6000000;
const std::string kProgram = "MZ la versione nuova di dolvo.exe";

void put(const QString& path, const std::string& bytes)
{
    adv::test::writeFile(path, QByteArray::fromStdString(bytes));
}

std::string got(const QString& path)
{
    return adv::test::readFile(path).toStdString();
}

// The maker's machine and the server's tree, which offers an old release;
// one server at a time serves it.
struct Site {
    QTemporaryDir dir;
    QString served = dir.filePath(u"ftp"_s), folder = served + u"/download"_s;
    adv::test::Maker maker;
    std::unique_ptr<adv::test::FtpServer> server;

    explicit Site(adv::test::FtpServerOptions options = {})
    {
        put(folder + u"/dolvo.exe"_s, "MZ vecchia");
        put(folder + u"/dolvo.exe.minisig"_s, maker.release("MZ vecchia", kOld));
        put(dir.filePath(u"dolvo.exe"_s), kProgram);
        put(dir.filePath(u"maker.key"_s), maker.secretKeyFile());
        adv::test::setMode(dir.filePath(u"maker.key"_s), 0600);
        options.root = served;
        options.writable = true;
        server = std::make_unique<adv::test::FtpServer>(std::move(options));
    }
    adv::PublishReport publish(std::int64_t now, adv::PublishAction action = adv::PublishAction::Release,
                               const char* plan = "100") const
    {
        adv::Config config = configFor();
        config.signingKey = dir.filePath(u"maker.key"_s);
        adv::PublishRequest request;
        request.action = action;
        request.program = dir.filePath(u"dolvo.exe"_s);
        request.rollout = *adv::Rollout::parse(plan);
        adv::test::RecordingUi ui(true);
        auto ftp = adv::platform::makeCurlFtpPublishSession(config.ftp);
        return adv::PublishCommand(
            ui, *ftp, config, request, [] { return std::nullopt; }, now);
    }
    // The maker's, or with another root, a site's.
    adv::Config configFor() const
    {
        adv::Config config;
        config.host = "127.0.0.1";
        config.user = server->options().user;
        config.password = server->options().password;
        config.remoteFolder = "download";
        config.ftp.port = server->port();
        config.ftp.connectTimeout = std::chrono::seconds(5);
        config.ftp.tls = server->options().tls;
        config.ftp.caFile = server->caFile().toStdString();
        config.publicKey = maker.key();
        return config;
    }
    // A site's nightly run, on a drive of its own that has the old release.
    adv::UpdateReport update(const QTemporaryDir& drive, bool keyed) const
    {
        if (!QFileInfo::exists(drive.filePath(u"dolvo/dolvo.exe"_s)))
            put(drive.filePath(u"dolvo/dolvo.exe"_s), "MZ vecchia");
        adv::Config config = configFor();
        config.root = drive.path().toStdString();
        config.siteId = "sito-1";  // its place in the new release comes after the first 10 %
        if (!keyed)
            config.publicKey.reset();
        adv::test::RecordingUi ui(true);
        auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(config));
        return adv::UpdateCommand(ui, *ftp, config, {.mode = adv::UpdateMode::Nightly});
    }
    // What sites see: the pair, and the index, each whole and the maker's.
    void expectWhole(const std::string& program, const std::string& label) const
    {
        const auto signature =
            adv::minisign::Signature::check(got(folder + u"/dolvo.exe.minisig"_s), maker.key(), "dolvo.exe");
        ASSERT_TRUE(signature.signature) << label;
        EXPECT_TRUE(signature.signature->verifies(adv::minisign::hashOf(got(folder + u"/dolvo.exe"_s)))) << label;
        EXPECT_EQ(got(folder + u"/dolvo.exe"_s), program) << label;
        const auto parts = adv::openedIndex(got(folder + u"/dolvo.exe.index"_s));
        const auto current = parts ? adv::readReleaseIndex(parts->second).index : std::nullopt;
        ASSERT_TRUE(current) << label;
        EXPECT_EQ(adv::minisign::hashOf(got(folder + u'/' + QString::fromStdString(current->release))), current->hash)
            << label;
        EXPECT_TRUE(QFileInfo(folder + u"/reports"_s).isDir() && !QFileInfo(folder + u"/releases/reports"_s).exists())
            << label << ": the sites' reports folder, beside the releases";
    }
};

// While a publish runs, sites updating in a loop, with a key or without,
// install the old release or the new one, whole, and never take the new one
// for a forgery.
TEST(Publish, SitesUpdatingMeanwhileGetTheOldOrTheNewReleaseWhole)
{
    Site site({.fault = FtpFault::Throttle});
    const std::string fresh = "MZ " + std::string(3 * 1024 * 1024, 'n');
    put(site.dir.filePath(u"dolvo.exe"_s), fresh);
    std::atomic<bool> done = false;
    adv::PublishReport published;
    std::thread publisher([&] {
        published = site.publish(kNow);
        done = true;
    });
    int runs = 0;
    for (bool keyed = true; !done || runs < 2; keyed = !keyed, ++runs) {
        QTemporaryDir drive;
        const adv::UpdateReport report = site.update(drive, keyed);
        EXPECT_NE(report.outcome, adv::UpdateOutcome::NotAuthentic)
            << runs << ": " << report.cause.logged().toStdString();
        const std::string now = got(drive.filePath(u"dolvo/dolvo.exe"_s));
        EXPECT_TRUE(now == "MZ vecchia" || now == fresh) << runs << ": " << now.size() << " bytes";
    }
    publisher.join();
    EXPECT_EQ(published.outcome, PublishOutcome::Published) << published.cause.logged().toStdString();
    site.expectWhole(fresh, "throttled");
}

// Sites follow the index --publish writes: a site whose place comes after a
// staged plan's first share takes nothing yet.
TEST(Publish, SitesFollowTheMakersIndex)
{
    Site site;
    ASSERT_GE(adv::sitePlace("sito-1", adv::minisign::hashOf(kProgram)), 10);
    const adv::PublishReport report = site.publish(kNow, adv::PublishAction::Release, "10@0h,100@8000h");
    ASSERT_EQ(report.outcome, PublishOutcome::Published) << report.cause.logged().toStdString();
    QTemporaryDir drive;
    EXPECT_EQ(site.update(drive, true).outcome, adv::UpdateOutcome::NotDue);
}

// --status reads what --publish made through the server, and says what does not check.
TEST(Publish, StatusChecksWhatWasPublished)
{
    Site site;
    ASSERT_EQ(site.publish(kNow).outcome, PublishOutcome::Published);
    EXPECT_EQ(site.publish(kNow, adv::PublishAction::Status).outcome, PublishOutcome::Published);
    put(site.folder + u"/dolvo.exe"_s, "MZ altro");
    EXPECT_EQ(site.publish(kNow, adv::PublishAction::Status).outcome, PublishOutcome::Inconsistent);
}

// Two publishes, one over the other, and a site taking the second, over
// explicit TLS to servers that are not ours: Debian's, which
// scripts/install-deps.sh unpacks into the libraries' cache. vsftpd and
// ProFTPD as they ship refuse a data connection that does not resume the
// control connection's TLS session; Pure-FTPd does not ask.
TEST(Publish, AgainstDebiansServers)
{
    const QString cache = qEnvironmentVariable(
        "ADV_DEPS_CACHE", qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + u"/.cache"_s) + u"/aggiornadv"_s);
    if (QFileInfo(u"/proc/self"_s).ownerId() != 0)  // this process's user
        GTEST_SKIP() << "the servers give up root for the user they serve, which only root can arrange";
    const struct {
        const char* name;
        const char* user;
    } servers[] = {{"pure-ftpd", "operatore"}, {"vsftpd", "ftp"}, {"proftpd", "operatore"}};
    for (const auto& server : servers) {
        const QString prefix = cache + u'/' + QString::fromUtf8(server.name);
        if (!QFileInfo(prefix + u"/usr/sbin/"_s + QString::fromUtf8(server.name)).isExecutable()) {
            std::printf("skipped %s: not unpacked in %s (scripts/install-deps.sh does it)\n", server.name,
                        qPrintable(prefix));
            continue;
        }
        Site site({.user = server.user,
                   .tls = adv::platform::FtpTls::Explicit,
                   .realServer = server.name,
                   .realPrefix = prefix.toStdString()});
        for (const char* program : {kProgram.c_str(), "MZ la terza"}) {
            put(site.dir.filePath(u"dolvo.exe"_s), program);
            const adv::PublishReport report = site.publish(program == kProgram ? kNow : kNow + 1);
            ASSERT_EQ(report.outcome, PublishOutcome::Published)
                << server.name << ", " << program << ": " << report.cause.logged().toStdString();
            site.expectWhole(program, server.name);
        }
        QTemporaryDir drive;
        const adv::UpdateReport taken = site.update(drive, true);
        EXPECT_EQ(taken.outcome, adv::UpdateOutcome::Updated)
            << server.name << ": " << taken.cause.logged().toStdString();
        EXPECT_EQ(got(drive.filePath(u"dolvo/dolvo.exe"_s)), "MZ la terza") << server.name;
    }
}

}  // namespace
