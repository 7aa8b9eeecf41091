// The maker's publish against a real FTP server on 127.0.0.1: whatever
// happens, sites are only ever offered a whole release, old or new.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <string>

#include "app/maker/PublishCommand.h"
#include "app/site/Stages.h"
#include "app/site/UpdateCommand.h"
#include "tests/support/Files.h"
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
    adv::test::Maker maker, stranger;
    std::unique_ptr<adv::test::FtpServer> server;

    explicit Site(FtpFault fault = FtpFault::None, int cutAt = 0, const std::string& pureFtpd = {})
    {
        put(folder + u"/dolvo.exe"_s, "MZ vecchia");
        put(folder + u"/dolvo.exe.minisig"_s, maker.release("MZ vecchia", kOld));
        put(dir.filePath(u"dolvo.exe"_s), kProgram);
        put(dir.filePath(u"maker.key"_s), maker.secretKeyFile());
        put(dir.filePath(u"stranger.key"_s), stranger.secretKeyFile());
        server = std::make_unique<adv::test::FtpServer>(adv::test::FtpServerOptions{
            .root = served, .fault = fault, .faultAfterBytes = cutAt, .writable = true, .pureFtpd = pureFtpd});
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
    // The maker's command; `given`: the maker's own signature of the program.
    adv::PublishReport publish(std::int64_t now, adv::PublishAction action = adv::PublishAction::Release,
                               const char* plan = "100", const QString& key = u"maker.key"_s,
                               const std::string& given = {}, adv::test::RecordingUi* ui = nullptr) const
    {
        adv::Config config = configFor();
        config.signingKey = dir.filePath(key);
        adv::PublishRequest request{action, dir.filePath(u"dolvo.exe"_s), {}, *adv::Rollout::parse(plan)};
        if (!given.empty()) {
            put(dir.filePath(u"given.minisig"_s), given);
            request.signatureFile = dir.filePath(u"given.minisig"_s);
        }
        adv::test::RecordingUi own(true);
        auto ftp = adv::platform::makeCurlFtpPublishSession(config.ftp);
        return adv::PublishCommand(
            ui ? *ui : own, *ftp, config, request, [] { return std::nullopt; }, now);
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
        config.publicKey = maker.key();
        return config;
    }
    std::optional<adv::ReleaseIndex> index() const
    {
        const auto parts = adv::openedIndex(got(folder + u"/dolvo.exe.index"_s));
        return parts ? adv::readReleaseIndex(parts->second).index : std::nullopt;
    }
    // What sites see: the pair, and the index, each whole and the maker's.
    void expectWhole(const std::string& program, const std::string& label) const
    {
        const auto signature =
            adv::minisign::Signature::check(got(folder + u"/dolvo.exe.minisig"_s), maker.key(), "dolvo.exe");
        ASSERT_TRUE(signature.signature) << label;
        EXPECT_TRUE(signature.signature->verifies(adv::minisign::hashOf(got(folder + u"/dolvo.exe"_s)))) << label;
        EXPECT_EQ(got(folder + u"/dolvo.exe"_s), program) << label;
        if (got(folder + u"/dolvo.exe.index"_s).empty())
            return;
        const auto current = index();
        ASSERT_TRUE(current) << label;
        EXPECT_EQ(adv::minisign::hashOf(got(folder + u'/' + QString::fromStdString(current->release))), current->hash)
            << label;
    }
};

TEST(Publish, ReleasesWholeOrRefusesBeforeSendingAnything)
{
    const struct Row {
        const char* label;
        PublishOutcome outcome = PublishOutcome::Published;
        FtpFault fault = FtpFault::None;
        const char* lock = nullptr;  // another publisher's lock: its owner line ("": none written)
        QString key = u"maker.key"_s;
        const char* given = nullptr;  // the maker's own signature's trusted comment; nullptr: signed here
        std::int64_t now = kNow;
    } rows[] = {
        {.label = "a new release"},
        {.label = "a server that keeps names in use", .fault = FtpFault::RenameKeeps},
        {.label = "another key", .outcome = PublishOutcome::Refused, .key = u"stranger.key"_s},
        {.label = "a signature of another file",
         .outcome = PublishOutcome::Refused,
         .given = "timestamp:1796000000\tfile:altro.exe"},
        {.label = "a signature dated two days ahead",
         .outcome = PublishOutcome::Refused,
         .given = "timestamp:1796172800\tfile:dolvo.exe"},
        {.label = "not newer than the server's", .outcome = PublishOutcome::Refused, .now = kOld},
        // Another publisher's lock holds for an hour, by either clock; one a
        // cut left without its owner is taken over.
        {.label = "locked a while ago", .outcome = PublishOutcome::Locked, .lock = "altro pid 7 1795999000\n"},
        {.label = "locked by a clock ahead", .outcome = PublishOutcome::Locked, .lock = "altro pid 7 1796003000\n"},
        {.label = "locked hours ago", .lock = "altro pid 7 1795990000\n"},
        {.label = "locked by a clock a day ahead", .lock = "altro pid 7 1796090000\n"},
        {.label = "a lock without owner", .lock = ""},
    };
    for (const auto& row : rows) {
        Site site(row.fault);
        if (row.lock)
            QDir().mkpath(site.folder + u"/dolvo.exe.publishing"_s);
        if (row.lock && *row.lock)
            put(site.folder + u"/dolvo.exe.publishing/owner"_s, row.lock);
        const auto before = site.tree();
        adv::test::RecordingUi ui(true);
        const adv::PublishReport report =
            site.publish(row.now, adv::PublishAction::Release, "100", row.key,
                         row.given ? site.maker.signatureOf(kProgram, row.given) : std::string(), &ui);
        EXPECT_EQ(report.outcome, row.outcome) << row.label << ": " << report.cause.logged().toStdString();
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
        // The server cuts the step'th change, and only that one.
        Site site(FtpFault::CutWrites, step);
        const std::string oldSignature = got(site.folder + u"/dolvo.exe.minisig"_s);
        const adv::PublishReport cut = site.publish(kNow);
        // Cut between the pair's two renames, the pair is the new program and the old signature: keyed
        // sites refuse it, installing nothing, until the next publish.
        const bool split = got(site.folder + u"/dolvo.exe"_s) == kProgram &&
                           got(site.folder + u"/dolvo.exe.minisig"_s) == oldSignature;
        if (!split)
            site.expectWhole(got(site.folder + u"/dolvo.exe"_s) == kProgram ? kProgram : "MZ vecchia",
                             std::to_string(step));
        if (cut.outcome == PublishOutcome::Published)
            break;
        // --status names what the cut left, if anything.
        const auto left = site.tree();
        const bool leftovers = std::any_of(left.begin(), left.end(), [](const auto& file) {
            return file.first.contains(u"/."_s) || file.first.contains(u"publishing"_s);
        });
        EXPECT_EQ(site.publish(kNow, adv::PublishAction::Status).outcome,
                  leftovers || split ? PublishOutcome::Inconsistent : PublishOutcome::Published)
            << step;
        const adv::PublishReport again = site.publish(kNow + 1);
        EXPECT_EQ(again.outcome, PublishOutcome::Published) << step << ": " << again.cause.logged().toStdString();
        site.expectWhole(kProgram, std::to_string(step));
        EXPECT_EQ(site.publish(kNow + 1, adv::PublishAction::Status).outcome, PublishOutcome::Published) << step;
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
    const QStringList foreign{u"dolvo-old.exe"_s, u"dolvo-5-zzzzzzzz.exe"_s, u".altro.part"_s};
    for (const QString& name : foreign)
        put(site.folder + u"/releases/"_s + name, "MZ altrui");
    ASSERT_EQ(site.publish(kNow).outcome, PublishOutcome::Published);
    const std::string firstIndex = got(site.folder + u"/dolvo.exe.index"_s);
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
        const adv::PublishReport report = site.publish(++now, step.action, step.plan);
        ASSERT_EQ(report.outcome, PublishOutcome::Published)
            << step.plan << ": " << report.cause.logged().toStdString();
        site.expectWhole(step.legacy, step.plan);
        const auto index = site.index();
        ASSERT_TRUE(index) << step.plan;
        EXPECT_EQ(index->hash, adv::minisign::hashOf(step.current)) << step.plan;
        EXPECT_EQ(index->rollout.paused, step.paused) << step.plan;
    }
    EXPECT_EQ(site.index()->withdrawn,
              (std::vector{adv::minisign::hashOf("MZ la seconda"), adv::minisign::hashOf("MZ la terza")}));
    // Nothing before the first release is left to go back to.
    EXPECT_EQ(site.publish(++now, PublishAction::Withdraw).outcome, PublishOutcome::Refused);
    EXPECT_EQ(site.publish(now, PublishAction::Status).outcome, PublishOutcome::Published);
    // An older index served back would have the maker sign the withdrawals away.
    const std::string latest = got(site.folder + u"/dolvo.exe.index"_s);
    put(site.folder + u"/dolvo.exe.index"_s, firstIndex);
    EXPECT_EQ(site.publish(++now, PublishAction::ChangeRollout).outcome, PublishOutcome::ServerFailed);
    EXPECT_EQ(site.publish(now, PublishAction::Status).outcome, PublishOutcome::Inconsistent);
    put(site.folder + u"/dolvo.exe.index"_s, latest);
    // Sent everywhere, the release is the index's, not another the maker signed kept under its name.
    const QString kept = site.folder + u'/' + QString::fromStdString(site.index()->release);
    put(kept, "MZ vecchia");
    put(kept + u".minisig"_s, site.maker.release("MZ vecchia", kOld));
    EXPECT_EQ(site.publish(++now, PublishAction::ChangeRollout).outcome, PublishOutcome::ServerFailed);
    EXPECT_EQ(got(site.folder + u"/dolvo.exe"_s), kProgram);
    for (const QString& name : foreign)
        EXPECT_EQ(got(site.folder + u"/releases/"_s + name), "MZ altrui") << name.toStdString();
}

// While a publish runs, sites updating in a loop, with a key or without,
// install the old release or the new one, whole, and never take the new one
// for a forgery.
TEST(Publish, SitesUpdatingMeanwhileGetTheOldOrTheNewReleaseWhole)
{
    Site site(FtpFault::Throttle);
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
        const QString installed = drive.filePath(u"dolvo/dolvo.exe"_s);
        put(installed, "MZ vecchia");
        adv::Config config = site.configFor();
        config.root = drive.path().toStdString();
        if (!keyed)
            config.publicKey.reset();
        adv::test::RecordingUi ui(true);
        auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(config));
        const adv::UpdateReport report = adv::UpdateCommand(ui, *ftp, config, {.mode = adv::UpdateMode::Nightly});
        EXPECT_NE(report.outcome, adv::UpdateOutcome::NotAuthentic)
            << runs << ": " << report.cause.logged().toStdString();
        const std::string now = got(installed);
        EXPECT_TRUE(now == "MZ vecchia" || now == fresh) << runs << ": " << now.size() << " bytes";
    }
    publisher.join();
    EXPECT_EQ(published.outcome, PublishOutcome::Published) << published.cause.logged().toStdString();
}

// Sites follow the index --publish writes: its plan, its pause, its
// withdrawal; and refuse an index that is not the maker's, or older than one
// they have seen.
TEST(Publish, SitesFollowTheMakersIndex)
{
    using adv::PublishAction;
    using adv::UpdateMode;
    using adv::UpdateOutcome;
    Site site;
    const std::string late = "sito-0";  // its place comes after the first 10 %
    ASSERT_GE(adv::sitePlace(late, adv::minisign::hashOf("MZ seconda")), 10);
    std::map<char, QTemporaryDir> drives;
    std::string firstIndex;
    const struct {
        PublishAction action;  // Status: the maker does nothing
        const char* plan;
        const char* program;  // published at this step
        char index;           // 'f': the first index served again; 't': the index tampered with
        char drive;           // the site: 'u' has no key
        UpdateMode mode;
        UpdateOutcome outcome;
        const char* installed;
    } steps[] = {
        {PublishAction::Release, "100", "MZ prima", 0, 'a', UpdateMode::Nightly, UpdateOutcome::Updated, "MZ prima"},
        {PublishAction::Status, "", nullptr, 0, 'u', UpdateMode::Nightly, UpdateOutcome::Updated, "MZ prima"},
        // 10 % now, the rest in a year.
        {PublishAction::Release, "10@0h,100@8000h", "MZ seconda", 0, 'a', UpdateMode::Nightly, UpdateOutcome::NotDue,
         "MZ prima"},
        {PublishAction::Status, "", nullptr, 0, 'a', UpdateMode::Check, UpdateOutcome::UpdateAvailable, "MZ prima"},
        {PublishAction::Status, "", nullptr, 0, 'a', UpdateMode::Operator, UpdateOutcome::Updated, "MZ seconda"},
        {PublishAction::ChangeRollout, "pausa", nullptr, 0, 'b', UpdateMode::Operator, UpdateOutcome::Paused,
         "MZ vecchia"},
        {PublishAction::Status, "", nullptr, 0, 'a', UpdateMode::Nightly, UpdateOutcome::AlreadyCurrent, "MZ seconda"},
        // Back from dolvo.exe.prev, with no download; a site on the older release is left alone.
        {PublishAction::Withdraw, "100", nullptr, 0, 'a', UpdateMode::Nightly, UpdateOutcome::Restored, "MZ prima"},
        {PublishAction::Status, "", nullptr, 0, 'u', UpdateMode::Nightly, UpdateOutcome::AlreadyCurrent, "MZ prima"},
        // The release file, on the server, far larger than the index says: not fetched.
        {PublishAction::Status, "", nullptr, 'b', 'c', UpdateMode::Nightly, UpdateOutcome::DownloadFailed,
         "MZ vecchia"},
        // An index older than one seen here (which names the release it has), or not the maker's.
        {PublishAction::Status, "", nullptr, 'f', 'a', UpdateMode::Nightly, UpdateOutcome::OlderRelease, "MZ prima"},
        {PublishAction::Status, "", nullptr, 't', 'a', UpdateMode::Nightly, UpdateOutcome::NotAuthentic, "MZ prima"},
        // No index, and the withdrawn release, as the maker signed it, offered as the pair.
        {PublishAction::Status, "", nullptr, 'w', 'a', UpdateMode::Nightly, UpdateOutcome::OlderRelease, "MZ prima"},
    };
    std::int64_t signedAt = kNow;
    const QString index = site.folder + u"/dolvo.exe.index"_s;
    for (const auto& step : steps) {
        if (step.action != PublishAction::Status) {
            if (step.program)
                put(site.dir.filePath(u"dolvo.exe"_s), step.program);
            const adv::PublishReport published = site.publish(++signedAt, step.action, step.plan);
            ASSERT_EQ(published.outcome, PublishOutcome::Published) << published.cause.logged().toStdString();
            firstIndex = firstIndex.empty() ? got(index) : firstIndex;
        }
        std::string served = step.index == 'f' ? firstIndex : got(index);
        put(index, step.index == 't' ? served.replace(served.find("format"), 1, "F") : served);
        if (step.index == 'b')
            put(site.folder + u'/' + QString::fromStdString(site.index()->release), std::string(1 << 20, 'M'));
        if (step.index == 'w' && QFile::remove(index))
            put(site.folder + u"/dolvo.exe"_s, "MZ seconda"),
                put(site.folder + u"/dolvo.exe.minisig"_s, site.maker.release("MZ seconda", kNow + 2));
        QTemporaryDir& drive = drives[step.drive];
        const QString installed = drive.filePath(u"dolvo/dolvo.exe"_s);
        if (!QFileInfo::exists(installed))
            put(installed, "MZ vecchia");
        adv::Config config = site.configFor();
        config.root = drive.path().toStdString();
        config.siteId = late;
        if (step.drive == 'u')
            config.publicKey.reset();
        adv::test::RecordingUi ui(true);
        auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(config));
        const QString before = site.server->commandLog();
        const adv::UpdateReport report = adv::UpdateCommand(ui, *ftp, config, {.mode = step.mode});
        EXPECT_EQ(report.outcome, step.outcome) << &step - steps << ": " << report.cause.logged().toStdString();
        EXPECT_EQ(got(installed), step.installed) << &step - steps;
        EXPECT_EQ(
            site.server->commandLog().mid(before.size()).contains(QRegularExpression(u"RETR dolvo-\\S+\\.exe\\n"_s)),
            step.outcome == UpdateOutcome::Updated);
    }
}

// The same against a real server: Debian's Pure-FTPd, which
// scripts/install-deps.sh unpacks into the libraries' cache.
TEST(Publish, AgainstDebiansPureFtpd)
{
    const QString cache = qEnvironmentVariable(
        "ADV_DEPS_CACHE", qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + u"/.cache"_s) + u"/aggiornadv"_s);
    const QString prefix = cache + u"/pure-ftpd"_s;
    if (!QFileInfo(prefix + u"/usr/sbin/pure-ftpd"_s).isExecutable())
        GTEST_SKIP() << "no Pure-FTPd unpacked in " << prefix.toStdString() << " (scripts/install-deps.sh does it)";
    if (QFileInfo(u"/proc/self"_s).ownerId() != 0)  // this process's user
        GTEST_SKIP() << "Pure-FTPd serves its virtual user as nobody, which only root can arrange";
    Site site(FtpFault::None, 0, prefix.toStdString());
    for (const char* program : {kProgram.c_str(), "MZ la terza"}) {
        put(site.dir.filePath(u"dolvo.exe"_s), program);
        const adv::PublishReport report = site.publish(program == kProgram ? kNow : kNow + 1);
        ASSERT_EQ(report.outcome, PublishOutcome::Published) << program << ": " << report.cause.logged().toStdString();
        site.expectWhole(program, "Pure-FTPd");
    }
}

}  // namespace
