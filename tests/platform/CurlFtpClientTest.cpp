// The libcurl FTP session against a real server on 127.0.0.1.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <ostream>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FtpClient.h"
#include "tests/support/FtpServer.h"
#include "tests/support/Spawn.h"

// Stops the test with the session's own reason when an operation fails.
#define ASSERT_FTP_OK(expr)                                                                                            \
    if (const adv::platform::FtpResult ftpResult_ = (expr); ftpResult_) {                                              \
    } else                                                                                                             \
        GTEST_FAIL() << ftpResult_.detail

namespace {

using namespace Qt::StringLiterals;
using adv::platform::FtpClient;
using adv::platform::FtpFailure;
using adv::platform::FtpOptions;
using adv::platform::FtpTls;
using adv::test::FtpFault;
using adv::test::FtpServer;
using adv::test::FtpServerOptions;
using Clock = std::chrono::steady_clock;

const std::string kFolder = "www.zorvanik.test/download";
const std::string kRemote = "dolvo.exe";
const std::string kPassword = FtpServerOptions{}.password;
constexpr mode_t kInstalledMode = 0750;

// Deterministic, non-repeating content, so a shifted or truncated copy
// never compares equal.
QByteArray content(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1u;
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x & 0xffu);
    }
    return bytes;
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

mode_t modeOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A served tree and an installation side by side in one temporary folder.
class CurlFtpClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp_.isValid());
        QDir(tmp_.path()).mkpath(u"served"_s);
        QDir(tmp_.path()).mkpath(u"dolvo"_s);
    }

    QString served() const { return tmp_.filePath(u"served"_s); }
    QString installDir() const { return tmp_.filePath(u"dolvo"_s); }
    QString target() const { return tmp_.filePath(u"dolvo/dolvo.exe"_s); }
    std::filesystem::path targetPath() const { return QFile::encodeName(target()).toStdString(); }

    void serve(const QByteArray& bytes, const std::string& folder = kFolder, const std::string& name = kRemote)
    {
        writeFile(served() + u'/' + QString::fromStdString(folder) + u'/' + QString::fromStdString(name), bytes);
    }

    void install()
    {
        writeFile(target(), installed_);
        ASSERT_EQ(::chmod(QFile::encodeName(target()).constData(), kInstalledMode), 0);
    }

    FtpServerOptions serverOptions(FtpTls tls = FtpTls::Off, FtpFault fault = FtpFault::None) const
    {
        FtpServerOptions options;
        options.root = served();
        options.tls = tls;
        options.fault = fault;
        return options;
    }

    static FtpOptions clientOptions(const FtpServer& server, bool trustServer = true)
    {
        FtpOptions options;
        options.port = server.port();
        options.tls = server.options().tls;
        if (trustServer)
            options.caFile = server.caFile().toStdString();
        options.connectTimeout = std::chrono::seconds(2);
        options.stallTimeout = std::chrono::seconds(2);
        return options;
    }

    static std::unique_ptr<FtpClient> session(const FtpOptions& options, bool passive = true,
                                              const std::string& password = kPassword)
    {
        auto ftp = adv::platform::makeCurlFtpClient(options);
        ftp->setHostname("127.0.0.1");
        ftp->setUsername(FtpServerOptions{}.user);
        ftp->setPassword(password);
        ftp->setPassive(passive);
        return ftp;
    }

    // What an update leaves: the new file, and the one it replaced.
    inline static const QStringList kUpdatedFolder{u"dolvo.exe"_s, u"dolvo.exe.prev"_s};

    QStringList installedFolder() const
    {
        return QDir(installDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    // The old installation, byte for byte and mode for mode, and nothing else.
    void expectUntouched() const
    {
        EXPECT_TRUE(readFile(target()) == installed_) << "the installed file changed";
        EXPECT_EQ(modeOf(target()), kInstalledMode);
        EXPECT_EQ(installedFolder(), QStringList{u"dolvo.exe"_s});
    }

    static void expectNoSecret(const adv::platform::FtpResult& result, const std::string& secret = kPassword)
    {
        EXPECT_FALSE(result.detail.empty());
        EXPECT_EQ(result.detail.find(secret), std::string::npos) << result.detail;
    }

    QTemporaryDir tmp_{QDir::tempPath() + u"/adv-ftp-test-XXXXXX"_s};
    QByteArray installed_ = content(70000, 1);
};

// --- successful downloads, over every way of moving the data ---------------

struct Transport {
    const char* name;
    FtpTls tls;
    bool passive;
    bool epsv;
};
void PrintTo(const Transport& c, std::ostream* os)
{
    *os << c.name;
}

class FetchOverTransport : public CurlFtpClientTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(FetchOverTransport, ReplacesTheFileByteExactKeepingItsMode)
{
    const Transport t = GetParam();
    const QByteArray fresh = content(1024 * 1024 + 123, 7);
    serve(fresh);
    install();
    FtpServer server(serverOptions(t.tls));
    FtpOptions options = clientOptions(server);
    options.useEpsv = t.epsv;
    auto ftp = session(options, t.passive);

    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(ftp->FetchFile(kRemote, targetPath(),
                                 [&](std::int64_t got, std::int64_t total) { reports.emplace_back(got, total); }))
        << "\n"
        << server.serverLog().toStdString();
    ftp->CloseSession();

    EXPECT_TRUE(readFile(target()) == fresh);
    EXPECT_EQ(modeOf(target()), kInstalledMode);
    EXPECT_EQ(installedFolder(), kUpdatedFolder) << "temporary or lock file left behind";

    // The total is unknown (-1) only until the server announced the size.
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), std::make_pair(std::int64_t{fresh.size()}, std::int64_t{fresh.size()}));
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_TRUE(reports[i].second == -1 || reports[i].second == fresh.size()) << reports[i].second;
        if (i > 0) {
            EXPECT_GE(reports[i].first, reports[i - 1].first);
        }
    }

    // One login carried the folder change and the download, and the close
    // said goodbye.
    const QString log = server.commandLog();
    EXPECT_EQ(log.count(u"USER "_s), 1) << log.toStdString();
    EXPECT_TRUE(log.contains(u"RETR dolvo.exe"_s)) << log.toStdString();
    EXPECT_TRUE(log.contains(t.passive ? (t.epsv ? u"EPSV"_s : u"PASV"_s) : u"EPRT"_s)) << log.toStdString();
    EXPECT_TRUE(log.trimmed().endsWith(u"QUIT"_s)) << log.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Ftp, FetchOverTransport,
                         ::testing::Values(Transport{"PassiveEpsv", FtpTls::Off, true, true},
                                           Transport{"PassivePasv", FtpTls::Off, true, false},
                                           Transport{"ActiveEprt", FtpTls::Off, false, true},
                                           Transport{"ExplicitTls", FtpTls::Explicit, true, true},
                                           Transport{"ImplicitTls", FtpTls::Implicit, true, true}),
                         [](const ::testing::TestParamInfo<Transport>& p) { return std::string(p.param.name); });

// --- OpenSession failures -----------------------------------------------

enum class ServerKind { Nothing, Normal, NoGreeting, TlsUntrusted };

struct OpenFailure {
    const char* name;
    ServerKind server;
    std::string password;
    double minSeconds;
    double maxSeconds;
};
void PrintTo(const OpenFailure& c, std::ostream* os)
{
    *os << c.name;
}

class OpenFails : public CurlFtpClientTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFails, ReturnsFalseInTime)
{
    const OpenFailure c = GetParam();
    std::unique_ptr<FtpServer> server;
    FtpOptions options;
    options.connectTimeout = std::chrono::seconds(2);
    options.stallTimeout = std::chrono::seconds(2);
    switch (c.server) {
    case ServerKind::Nothing: options.port = adv::test::unusedLoopbackPort(); break;
    case ServerKind::Normal:
        server = std::make_unique<FtpServer>(serverOptions());
        options = clientOptions(*server);
        break;
    case ServerKind::NoGreeting:
        server = std::make_unique<FtpServer>(serverOptions(FtpTls::Off, FtpFault::NoGreeting));
        options = clientOptions(*server);
        break;
    case ServerKind::TlsUntrusted:
        server = std::make_unique<FtpServer>(serverOptions(FtpTls::Explicit));
        options = clientOptions(*server, false);  // the system store knows no such certificate
        break;
    }
    auto ftp = session(options, true, c.password);

    const auto start = Clock::now();
    const adv::platform::FtpResult opened = ftp->OpenSession();
    const double took = secondsSince(start);
    EXPECT_EQ(opened.failure, adv::platform::FtpFailure::Connection) << opened.detail;
    EXPECT_GE(took, c.minSeconds);
    EXPECT_LT(took, c.maxSeconds);
    expectNoSecret(opened, c.password);
    EXPECT_FALSE(ftp->EnterRemoteFolder(kFolder)) << "no session after a failed open";
}

INSTANTIATE_TEST_SUITE_P(
    Ftp, OpenFails,
    ::testing::Values(OpenFailure{"WrongPassword", ServerKind::Normal, "parola-sbagliata", 0.0, 2.0},
                      OpenFailure{"NothingListening", ServerKind::Nothing, kPassword, 0.0, 1.0},
                      OpenFailure{"NoGreeting", ServerKind::NoGreeting, kPassword, 1.5, 5.0},
                      OpenFailure{"UntrustedCertificate", ServerKind::TlsUntrusted, kPassword, 0.0, 2.0}),
    [](const ::testing::TestParamInfo<OpenFailure>& p) { return std::string(p.param.name); });

// --- EnterRemoteFolder ---------------------------------------------------

struct FolderCase {
    const char* name;
    std::string folder;
    bool enters;
};
void PrintTo(const FolderCase& c, std::ostream* os)
{
    *os << c.name;
}

class EnterFolder : public CurlFtpClientTest, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(EnterFolder, SucceedsOnlyForAnExistingFolder)
{
    const FolderCase c = GetParam();
    serve(content(10, 2));
    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    const adv::platform::FtpResult entered = ftp->EnterRemoteFolder(c.folder);
    EXPECT_EQ(static_cast<bool>(entered), c.enters) << entered.detail;
    if (!c.enters) {
        expectNoSecret(entered);
    }
}

INSTANTIATE_TEST_SUITE_P(Ftp, EnterFolder,
                         ::testing::Values(FolderCase{"Existing", kFolder, true},
                                           FolderCase{"SlashesAroundAreRelativeToLogin", "/" + kFolder + "/", true},
                                           FolderCase{"LastComponentMissing", "www.zorvanik.test/scaricamenti", false},
                                           FolderCase{"FirstComponentMissing", "www.altro.test/download", false},
                                           FolderCase{"FileNotFolder", kFolder + "/" + kRemote, false}),
                         [](const ::testing::TestParamInfo<FolderCase>& p) { return std::string(p.param.name); });

TEST_F(CurlFtpClientTest, NamesWithSpacesAndUrlCharactersAreEscaped)
{
    const std::string folder = "sito prova/100% #1?";
    const std::string name = "dolvo nuovo;1.exe";
    const QByteArray fresh = content(5000, 3);
    serve(fresh, folder, name);
    install();
    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(folder));
    ASSERT_FTP_OK(ftp->FetchFile(name, targetPath()));
    EXPECT_TRUE(readFile(target()) == fresh);
}

// --- FetchFile failures leave the installation alone ------------------------

enum class Served { Missing, Empty, Big };

struct FetchFailure {
    const char* name;
    FtpFault fault;
    Served served;
    adv::platform::FtpFailure failure;
    double minSeconds;
    double maxSeconds;
    const char* detailHas = "";  // what the reason must name
};
void PrintTo(const FetchFailure& c, std::ostream* os)
{
    *os << c.name;
}

class FetchFails : public CurlFtpClientTest, public ::testing::WithParamInterface<FetchFailure> {};

TEST_P(FetchFails, LeavesTheInstalledFileAsItWas)
{
    const FetchFailure c = GetParam();
    if (c.served == Served::Empty)
        serve(QByteArray());
    else if (c.served == Served::Big)
        serve(content(4 * 1024 * 1024, 5));
    else
        serve(content(10, 5), kFolder, "altro.exe");  // the folder exists, the file does not
    install();
    FtpServer server(serverOptions(FtpTls::Off, c.fault));
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));

    const auto start = Clock::now();
    const adv::platform::FtpResult fetched = ftp->FetchFile(kRemote, targetPath());
    const double took = secondsSince(start);
    EXPECT_EQ(fetched.failure, c.failure) << fetched.detail;
    EXPECT_GE(took, c.minSeconds);
    EXPECT_LT(took, c.maxSeconds);
    expectNoSecret(fetched);
    EXPECT_NE(fetched.detail.find(c.detailHas), std::string::npos) << fetched.detail;
    EXPECT_EQ(fetched.detail.find("Timeout"), std::string::npos) << fetched.detail;
    expectUntouched();
}

INSTANTIATE_TEST_SUITE_P(
    Ftp, FetchFails,
    ::testing::Values(
        FetchFailure{"RemoteFileMissing", FtpFault::None, Served::Missing, FtpFailure::RemoteFile, 0.0, 2.0},
        FetchFailure{"EmptyRemoteFile", FtpFault::None, Served::Empty, FtpFailure::Size, 0.0, 2.0},
        FetchFailure{"DataConnectionCut", FtpFault::CutData, Served::Big, FtpFailure::Size, 0.0, 2.0},
        // A size the server gives is never taken as the end of the data:
        // more bytes than it says, or fewer, or none to compare, all fail.
        FetchFailure{"SizeSaysHalf", FtpFault::SizeHalf, Served::Big, FtpFailure::Size, 0.0, 2.0},
        FetchFailure{"SizeNegative", FtpFault::SizeNegative, Served::Big, FtpFailure::Size, 0.0, 2.0},
        FetchFailure{"NoSizeAtAll", FtpFault::NoSize, Served::Big, FtpFailure::Size, 0.0, 2.0},
        FetchFailure{"ExtraData", FtpFault::ExtraData, Served::Big, FtpFailure::Size, 0.0, 2.0},
        FetchFailure{"EndlessData", FtpFault::Endless, Served::Big, FtpFailure::Size, 0.0, 2.0},
        FetchFailure{"FileGrowsOnTheServer", FtpFault::Grow, Served::Big, FtpFailure::Size, 0.0, 2.0},
        FetchFailure{"Reply421ToRetr", FtpFault::Reply421, Served::Big, FtpFailure::Transfer, 0.0, 2.0, "421"},
        // The floor is 1024 bytes/s over the stall time-out of 2 s, counted
        // from the last byte that arrived, or over a window of a drip.
        FetchFailure{"DataStalls", FtpFault::StallData, Served::Big, FtpFailure::Transfer, 1.9, 2.9},
        FetchFailure{"OneByteASecond", FtpFault::Drip, Served::Big, FtpFailure::Transfer, 1.9, 3.5}),
    [](const ::testing::TestParamInfo<FetchFailure>& p) { return std::string(p.param.name); });

// Root writes anywhere, so the fetch runs in a child that is "nobody" then.
TEST_F(CurlFtpClientTest, FolderNotWritableFailsWithoutTouchingTheFile)
{
    serve(content(300000, 9));
    install();
    FtpServer server(serverOptions());

    const bool root = ::geteuid() == 0;
    const mode_t folderMode = root ? 0755 : 0555;  // root's folder is read-only to nobody
    ASSERT_EQ(::chmod(QFile::encodeName(tmp_.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(installDir()).constData(), folderMode), 0);

    adv::test::TempDir bin;
    ASSERT_EQ(::chmod(bin.path().c_str(), 0755), 0);
    const std::string helper =
        adv::test::installAs(ADV_FTP_TEST_HELPER, bin.path(), adv::test::uniqueName("ftpget", ""));
    adv::test::SpawnOptions launch;
    if (root) {
        launch.program = "/usr/bin/setpriv";
        launch.args = {"--reuid=65534", "--regid=65534", "--clear-groups", helper};
    } else {
        launch.program = helper;
    }
    launch.args.insert(launch.args.end(), {"fetch", std::to_string(server.port()), kFolder, kRemote,
                                           QFile::encodeName(target()).toStdString()});
    launch.waitReady = false;
    ::setenv("ADV_FTP_TEST_USER", FtpServerOptions{}.user.c_str(), 1);
    ::setenv("ADV_FTP_TEST_PASSWORD", kPassword.c_str(), 1);

    adv::test::Child child = adv::test::spawn(launch);
    const bool ended = child.waitExit(std::chrono::seconds(20));
    ::chmod(QFile::encodeName(installDir()).constData(), 0755);  // let the folder be cleaned up
    ASSERT_TRUE(ended) << child.describe();
    EXPECT_TRUE(child.exitedWith(1)) << "expected the fetch itself to fail: " << child.describe();
    expectUntouched();
}

// Whoever runs the update, the program keeps the owner it was installed with.
TEST_F(CurlFtpClientTest, KeepsTheInstalledOwner)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give the installed file another owner to keep";
    const QByteArray fresh = content(50000, 17);
    serve(fresh);
    install();
    ASSERT_EQ(::chown(QFile::encodeName(target()).constData(), 65534, 65534), 0);
    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(ftp->FetchFile(kRemote, targetPath()));

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(target()).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, kInstalledMode);
    EXPECT_TRUE(readFile(target()) == fresh);
}

// Two updaters of the same installation: the second one must not race the first.
TEST_F(CurlFtpClientTest, SecondUpdateWhileOneHoldsTheLockFails)
{
    const QByteArray fresh = content(200000, 11);
    serve(fresh);
    install();
    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));

    adv::test::TempDir bin;
    const std::string helper =
        adv::test::installAs(ADV_FTP_TEST_HELPER, bin.path(), adv::test::uniqueName("ftplock", ""));
    const QString lockFile = target() + u".lock"_s;
    {
        adv::test::SpawnOptions launch;
        launch.program = helper;
        launch.args = {"hold-lock", QFile::encodeName(target()).toStdString()};
        adv::test::Child other = adv::test::spawn(launch);  // returns once it holds the lock

        const adv::platform::FtpResult fetched = ftp->FetchFile(kRemote, targetPath());
        EXPECT_EQ(fetched.failure, adv::platform::FtpFailure::Busy) << fetched.detail;
        EXPECT_NE(fetched.detail.find("another update"), std::string::npos) << fetched.detail;
        EXPECT_TRUE(readFile(target()) == installed_);
        EXPECT_TRUE(QFile::exists(lockFile)) << "the other updater's lock must stay";
        other.kill();
    }
    // The holder died without unlocking: the kernel let its lock go, and the
    // file it left behind blocks nothing.
    ASSERT_FTP_OK(ftp->FetchFile(kRemote, targetPath()));
    EXPECT_TRUE(readFile(target()) == fresh);
    EXPECT_EQ(installedFolder(), kUpdatedFolder);
}

// The update command runs again on the same session object after a failure.
TEST_F(CurlFtpClientTest, OpensAgainOnTheSameObjectAfterAFailedFetch)
{
    const QByteArray fresh = content(100000, 13);
    serve(fresh);
    install();
    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));

    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    EXPECT_EQ(ftp->FetchFile("assente.exe", targetPath()).failure, adv::platform::FtpFailure::RemoteFile);
    expectUntouched();

    ftp->setPassword(kPassword);
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(ftp->FetchFile(kRemote, targetPath()));
    ftp->CloseSession();
    EXPECT_TRUE(readFile(target()) == fresh);

    // And once more after a proper close, with a changed setting applied.
    ftp->setPassword("non-questa");
    expectNoSecret(ftp->OpenSession(), "non-questa");
    EXPECT_GE(server.commandLog().count(u"USER "_s), 3);
}

// A size in the transfer's opening reply is not the file's: the download
// reads to the end of the data and matches what SIZE says.
TEST_F(CurlFtpClientTest, AnOpeningReplyThatAnnouncesHalfDoesNotCutTheDownload)
{
    const QByteArray fresh = content(3 * 1024 * 1024 + 17, 21);
    serve(fresh);
    install();
    FtpServer server(serverOptions(FtpTls::Off, FtpFault::Lie150));
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(ftp->FetchFile(kRemote, targetPath()));
    EXPECT_TRUE(readFile(target()) == fresh);
    EXPECT_EQ(installedFolder(), kUpdatedFolder);
}

// Where the caller has other proof of the file, an unknown size is allowed,
// but an endless stream still stops at the configured bound.
TEST_F(CurlFtpClientTest, AnUnknownSizeWhenAllowedIsBoundedByTheLimit)
{
    serve(content(200000, 23));
    install();
    FtpServer server(serverOptions(FtpTls::Off, FtpFault::NoSizeEndless));
    FtpOptions options = clientOptions(server);
    options.allowUnknownSize = true;
    options.maxDownloadBytes = 2 * 1024 * 1024;
    auto ftp = session(options);
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    const adv::platform::FtpResult fetched = ftp->FetchFile(kRemote, targetPath());
    EXPECT_EQ(fetched.failure, FtpFailure::Size) << fetched.detail;
    EXPECT_NE(fetched.detail.find("max_download_mb"), std::string::npos) << fetched.detail;
    expectUntouched();
}

// The caller's interrupt check stops a download at once; nothing of it stays.
TEST_F(CurlFtpClientTest, AnInterruptStopsTheDownloadAtOnce)
{
    serve(content(4 * 1024 * 1024, 25));
    install();
    FtpServer server(serverOptions(FtpTls::Off, FtpFault::Drip));
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    bool started = false;
    ftp->setInterruptCheck([&] { return started; });
    const auto start = Clock::now();
    const adv::platform::FtpResult fetched =
        ftp->FetchFile(kRemote, targetPath(), [&](std::int64_t, std::int64_t) { started = true; });
    EXPECT_EQ(fetched.failure, FtpFailure::Interrupted) << fetched.detail;
    EXPECT_LT(secondsSince(start), 1.5);
    expectUntouched();
}

// A setting is never a way to send the server commands of one's own.
TEST_F(CurlFtpClientTest, LineBreaksInSettingsAreRefused)
{
    serve(content(1000, 27));
    install();
    FtpServer server(serverOptions());
    for (const std::string& user : {std::string("operatore\r\nDELE dolvo.exe"), std::string("a\nb")}) {
        auto ftp = session(clientOptions(server));
        ftp->setUsername(user);
        EXPECT_EQ(ftp->OpenSession().failure, FtpFailure::Setting);
    }
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    EXPECT_EQ(ftp->EnterRemoteFolder(kFolder + "\r\nDELE x").failure, FtpFailure::Setting);
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    EXPECT_EQ(ftp->FetchFile("dolvo.exe\r\nDELE x", targetPath()).failure, FtpFailure::Setting);
    EXPECT_FALSE(server.commandLog().contains(u"DELE"_s)) << server.commandLog().toStdString();
    expectUntouched();
}

// A password that is also a piece of the address must not garble the reason:
// the text that holds it is dropped whole.
TEST_F(CurlFtpClientTest, APasswordInTheReasonDropsTheReasonNotPiecesOfIt)
{
    FtpOptions options;
    options.port = adv::test::unusedLoopbackPort();
    options.connectTimeout = std::chrono::seconds(2);
    auto ftp = session(options, true, "1");
    const adv::platform::FtpResult opened = ftp->OpenSession();
    EXPECT_EQ(opened.failure, FtpFailure::Connection);
    EXPECT_EQ(opened.detail.find('1'), std::string::npos) << opened.detail;
    EXPECT_EQ(opened.detail.find("***"), std::string::npos) << opened.detail;
    EXPECT_NE(opened.detail.find("password"), std::string::npos) << opened.detail;
}

// What an earlier run, a power cut or a hand may leave where the lock goes:
// none of it blocks an update, and nothing is written through a link.
struct LockLeftover {
    const char* name;
    std::function<void(const QString& lock, const QString& elsewhere)> make;
};
void PrintTo(const LockLeftover& c, std::ostream* os)
{
    *os << c.name;
}

class LockLeftovers : public CurlFtpClientTest, public ::testing::WithParamInterface<LockLeftover> {};

TEST_P(LockLeftovers, NeverBlockAnUpdate)
{
    const QByteArray fresh = content(150000, 29);
    serve(fresh);
    install();
    const QString elsewhere = tmp_.filePath(u"elsewhere.txt"_s);
    writeFile(elsewhere, "not the updater's");
    GetParam().make(target() + u".lock"_s, elsewhere);

    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(ftp->FetchFile(kRemote, targetPath()));
    EXPECT_TRUE(readFile(target()) == fresh);
    EXPECT_EQ(readFile(elsewhere), QByteArray("not the updater's"));
    EXPECT_EQ(installedFolder(), kUpdatedFolder);
}

INSTANTIATE_TEST_SUITE_P(
    Ftp, LockLeftovers,
    ::testing::Values(
        LockLeftover{"EmptyFile", [](const QString& lock, const QString&) { writeFile(lock, {}); }},
        LockLeftover{"Garbage", [](const QString& lock, const QString&) { writeFile(lock, content(77, 3)); }},
        LockLeftover{"AnotherHostsLock",
                     [](const QString& lock, const QString&) { writeFile(lock, "4242\nAggiornaDV\naltro-pc\n"); }},
        LockLeftover{"OwnPid",
                     [](const QString& lock, const QString&) {
                         writeFile(lock, QByteArray::number(::getpid()) + "\nAggiornaDV\n");
                     }},
        LockLeftover{"LinkToAnotherFile",
                     [](const QString& lock, const QString& elsewhere) { QFile::link(elsewhere, lock); }},
        LockLeftover{"DanglingLink",
                     [](const QString& lock, const QString& elsewhere) { QFile::link(elsewhere + u"-gone"_s, lock); }},
        LockLeftover{"EmptyFolder", [](const QString& lock, const QString&) { QDir().mkpath(lock); }}),
    [](const ::testing::TestParamInfo<LockLeftover>& p) { return std::string(p.param.name); });

// A full disk fails the download, says so, and leaves the installation as it
// was. The disk is a tiny tmpfs in a mount namespace of the test's own.
TEST_F(CurlFtpClientTest, AFullDiskSaysSo)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, for a small tmpfs in a private mount namespace";
    const QByteArray fresh = content(2 * 1024 * 1024, 31);
    serve(fresh);
    install();
    const QString saved = tmp_.filePath(u"installed.copy"_s);
    writeFile(saved, installed_);
    FtpServer server(serverOptions());

    adv::test::SpawnOptions launch;
    launch.program = "/usr/bin/unshare";
    launch.args = {"-m",
                   "/bin/sh",
                   "-c",
                   "mount -t tmpfs -o size=512k tmpfs \"$1\" && cp -p \"$2\" \"$1/dolvo.exe\" || exit 9; "
                   "\"$3\" fetch \"$4\" \"$5\" dolvo.exe \"$1/dolvo.exe\" 2>\"$6\"; rc=$?; "
                   "cmp -s \"$2\" \"$1/dolvo.exe\" || exit 7; [ \"$(ls -A \"$1\")\" = dolvo.exe ] || exit 8; "
                   "exit $rc",
                   "sh",
                   QFile::encodeName(installDir()).toStdString(),
                   QFile::encodeName(saved).toStdString(),
                   ADV_FTP_TEST_HELPER,
                   std::to_string(server.port()),
                   kFolder,
                   QFile::encodeName(tmp_.filePath(u"fetch.err"_s)).toStdString()};
    launch.waitReady = false;
    ::setenv("ADV_FTP_TEST_USER", FtpServerOptions{}.user.c_str(), 1);
    ::setenv("ADV_FTP_TEST_PASSWORD", kPassword.c_str(), 1);
    adv::test::Child child = adv::test::spawn(launch);
    ASSERT_TRUE(child.waitExit(std::chrono::seconds(30))) << child.describe();
    EXPECT_TRUE(child.exitedWith(1)) << "1: the fetch failed and the file is as it was; " << child.describe();
    const QByteArray why = readFile(tmp_.filePath(u"fetch.err"_s));
    EXPECT_TRUE(why.contains("No space left on device")) << why.toStdString();
}

}  // namespace
