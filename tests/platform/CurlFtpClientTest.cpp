// The FTP session against a real FTP server on 127.0.0.1, on Linux and under Wine.
#include "tests/platform/CurlFtpClientFixture.h"

#include <QCoreApplication>
#include <QDateTime>

#include <functional>
#include <ostream>

namespace {

using namespace adv::test::curl;

// --- successful downloads, over every way of moving the data ---------------

struct Transport {
    const char* name;
    FtpTls tls;
    bool epsv;
};
void PrintTo(const Transport& c, std::ostream* os)
{
    *os << c.name;
}

class FetchOverTransport : public CurlFtpClientTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(FetchOverTransport, BringsTheFileByteExact)
{
    const Transport t = GetParam();
    const QByteArray fresh = content(1024 * 1024 + 123, 7);
    serve(fresh);
    FtpServer server(serverOptions(t.tls));
    FtpOptions options = clientOptions(server);
    options.useEpsv = t.epsv;
    auto ftp = session(options);

    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(fetch(*ftp, kRemote, [&](std::int64_t got, std::int64_t total) { reports.emplace_back(got, total); }))
        << "\n"
        << server.serverLog().toStdString();
    ftp->CloseSession();

    EXPECT_TRUE(received() == fresh);

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
    EXPECT_TRUE(log.contains(t.epsv ? u"EPSV"_s : u"PASV"_s)) << log.toStdString();
    EXPECT_TRUE(log.trimmed().endsWith(u"QUIT"_s)) << log.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Ftp, FetchOverTransport,
                         ::testing::Values(Transport{"PassiveEpsv", FtpTls::Off, true},
                                           Transport{"PassivePasv", FtpTls::Off, false},
                                           Transport{"ExplicitTls", FtpTls::Explicit, true},
                                           Transport{"ImplicitTls", FtpTls::Implicit, true}),
                         [](const ::testing::TestParamInfo<Transport>& p) { return std::string(p.param.name); });

// --- OpenSession failures -----------------------------------------------

enum class ServerKind { Nothing, Normal, NoGreeting, TlsUntrusted, TlsRefused };

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
    case ServerKind::TlsRefused:  // TLS asked of a server that speaks plain FTP only
        server = std::make_unique<FtpServer>(serverOptions(FtpTls::Off, FtpFault::Auth530));
        options = clientOptions(*server);
        options.tls = FtpTls::Explicit;
        break;
    case ServerKind::TlsUntrusted:
        server = std::make_unique<FtpServer>(serverOptions(FtpTls::Explicit));
        options = clientOptions(*server, false);  // the system store knows no such certificate
        break;
    }
    auto ftp = session(options, c.password);

    const auto start = Clock::now();
    const adv::platform::FtpResult opened = ftp->OpenSession();
    const double took = secondsSince(start);
    EXPECT_EQ(opened.failure, c.server == ServerKind::TlsUntrusted ? adv::platform::FtpFailure::Untrusted
                              : c.server == ServerKind::TlsRefused ? adv::platform::FtpFailure::TlsRefused
                                                                   : adv::platform::FtpFailure::Connection)
        << opened.detail;
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
                      OpenFailure{"UntrustedCertificate", ServerKind::TlsUntrusted, kPassword, 0.0, 2.0},
                      OpenFailure{"TlsRefused", ServerKind::TlsRefused, kPassword, 0.0, 2.0}),
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
    // Windows names cannot hold "?": "&" stands for it there.
    const std::string folder = adv::test::kNamesMayHoldWildcards ? "sito prova/100% #1?" : "sito prova/100% #1&";
    const std::string name = "dolvo nuovo;1.exe";
    const QByteArray fresh = content(5000, 3);
    serve(fresh, folder, name);
    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(folder));
    ASSERT_FTP_OK(fetch(*ftp, name));
    EXPECT_TRUE(received() == fresh);
}

// --- FetchFile failures ------------------------------------------------------

enum class Served { Missing, Empty, Big };

struct FetchFailure {
    const char* name;
    FtpFault fault;
    Served served;
    adv::platform::FtpFailure failure;
    double minSeconds;
    double maxSeconds;
    const char* detailHas = "";  // what the reason must name
    int recheckMs = 0;
    FtpTls tls = FtpTls::Off;
};
void PrintTo(const FetchFailure& c, std::ostream* os)
{
    *os << c.name;
}

class FetchFails : public CurlFtpClientTest, public ::testing::WithParamInterface<FetchFailure> {};

TEST_P(FetchFails, SaysWhyInTime)
{
    const FetchFailure c = GetParam();
    if (c.served == Served::Empty)
        serve(QByteArray());
    else if (c.served == Served::Big)
        serve(content(4 * 1024 * 1024, 5));
    else
        serve(content(10, 5), kFolder, "altro.exe");  // the folder exists, the file does not
    FtpServer server(serverOptions(c.tls, c.fault));
    FtpOptions options = clientOptions(server);
    options.download.recheckAfter = std::chrono::milliseconds(c.recheckMs);
    auto ftp = session(options);
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));

    const auto start = Clock::now();
    const adv::platform::FtpResult fetched = fetch(*ftp);
    const double took = secondsSince(start);
    EXPECT_EQ(fetched.failure, c.failure) << fetched.detail;
    EXPECT_GE(took, c.minSeconds);
    EXPECT_LT(took, c.maxSeconds);
    expectNoSecret(fetched);
    EXPECT_NE(fetched.detail.find(c.detailHas), std::string::npos) << fetched.detail;
    EXPECT_EQ(fetched.detail.find("Timeout"), std::string::npos) << fetched.detail;
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
        // A data connection's TLS refused, as each server says it; 522 means
        // something else without TLS.
        FetchFailure{"DataTlsRefused522", FtpFault::DataTls522, Served::Big, FtpFailure::DataTlsRefused, 0.0, 2.0,
                     "522", 0, FtpTls::Explicit},
        FetchFailure{"DataTlsRefused425", FtpFault::DataTls425, Served::Big, FtpFailure::DataTlsRefused, 0.0, 2.0,
                     "425", 0, FtpTls::Explicit},
        FetchFailure{"Reply522WithoutTls", FtpFault::DataTls522, Served::Big, FtpFailure::Transfer, 0.0, 2.0, "522"},
        // The rate floor (1024 bytes/s over the stall time-out of 2 s) wired
        // into a real transfer; when exactly it fails is RateFloorTest's table.
        FetchFailure{"DataStalls", FtpFault::StallData, Served::Big, FtpFailure::Transfer, 1.9, 5.0},
        // SIZE and MDTM agree right after a transfer that fell between two
        // writes of an upload; a pause lets the upload show.
        FetchFailure{"UploadStillUnderWay", FtpFault::UploadPauses, Served::Big, FtpFailure::Size, 1.5, 3.0,
                     "still be uploading", 1500}),
    [](const ::testing::TestParamInfo<FetchFailure>& p) { return std::string(p.param.name); });

// The questions alone, in binary mode only where ASCII mode gives no size (as
// ProFTPD's); for a sink that checks the file, the transfer alone.
TEST_F(CurlFtpClientTest, ASessionSendsOnlyWhatItNeeds)
{
    serve(content(5000, 41));
    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));
    FtpClient::Facts facts;
    Resumable whole({}, 5000);
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(ftp->AskAbout(kRemote, facts));
    ASSERT_FTP_OK(ftp->FetchFile(kRemote, whole));
    ASSERT_FTP_OK(ftp->AskAbout(kRemote, facts));
    EXPECT_EQ(ftp->AskAbout("assente.exe", facts).failure, FtpFailure::RemoteFile);
    ftp->CloseSession();
    EXPECT_EQ(server.commandLog().split(u'\n', Qt::SkipEmptyParts),
              QStringList({u"USER operatore"_s, u"PASS ****"_s, u"PWD"_s, u"CWD /www.zorvanik.test/download"_s,
                           u"SIZE dolvo.exe"_s, u"MDTM dolvo.exe"_s, u"TYPE I"_s, u"SIZE dolvo.exe"_s, u"EPSV"_s,
                           u"TYPE I"_s, u"RETR dolvo.exe"_s, u"SIZE dolvo.exe"_s, u"MDTM dolvo.exe"_s,
                           u"SIZE assente.exe"_s, u"MDTM assente.exe"_s, u"QUIT"_s}));
}

// A fetch cut (after a whole block), then one from there: the rest alone
// crosses, progress counting from there. A REST refused, or a shorter file, not.
TEST_F(CurlFtpClientTest, AResumedFetchBringsOnlyTheRest)
{
    const qint64 cut = FtpServerOptions{}.faultAfterBytes;
    const QByteArray whole = content(100000, 43);
    for (const auto& [fault, served, failure] : {std::tuple{FtpFault::CutData, whole, FtpFailure::None},
                                                 std::tuple{FtpFault::NoRest, whole, FtpFailure::Resume},
                                                 std::tuple{FtpFault::None, whole.left(50000), FtpFailure::Resume}}) {
        serve(served);
        FtpServer server(serverOptions(FtpTls::Off, fault));
        auto ftp = session(clientOptions(server));
        Resumable first({}, whole.size());
        Resumable rest(whole.left(cut), whole.size());
        std::vector<std::int64_t> received;
        ASSERT_FTP_OK(ftp->OpenSession());
        ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
        ASSERT_FTP_OK(ftp->FetchFile(kRemote, first));
        const adv::platform::FtpResult fetched =
            ftp->FetchFile(kRemote, rest, [&](std::int64_t got, std::int64_t) { received.push_back(got); });
        EXPECT_EQ(fetched.failure, failure) << fetched.detail;
        ftp->CloseSession();  // the server logs a transfer once it answered it
        if (fault == FtpFault::CutData) {
            EXPECT_TRUE(first.bytes == whole.left(cut) && rest.bytes == whole);
            EXPECT_TRUE(server.serverLog().contains(u"bytes=%1 "_s.arg(whole.size() - cut)));
            EXPECT_TRUE(!received.empty() && received.front() >= cut && received.back() == whole.size());
        }
    }
}

// A proxy only when configured: the environment's (dead here) only when asked
// for; a SOCKS5 proxy carries the whole download, control and data.
TEST_F(CurlFtpClientTest, AProxyCarriesTheSessionOnlyWhenConfigured)
{
    const QByteArray program = content(300000, 29);
    serve(program);
    FtpServerOptions withProxy = serverOptions();
    withProxy.socks5 = true;
    FtpServer server(withProxy);
    for (const char* variable : {"ALL_PROXY", "ftp_proxy"})
        qputenv(variable, "socks5://127.0.0.1:1");
    const std::string socks = "127.0.0.1:" + std::to_string(server.socksPort());
    for (const auto& [proxy, fromEnvironment, works, carried, noProxy] :
         {std::tuple{std::string(), false, true, false, ""}, std::tuple{std::string(), true, false, false, ""},
          std::tuple{"socks5://" + socks, false, true, true, "*"},
          std::tuple{"socks5h://" + socks, false, true, true, "*"}}) {
        qputenv("NO_PROXY", noProxy);
        FtpOptions options = clientOptions(server);
        options.proxy = proxy;
        options.proxyFromEnvironment = fromEnvironment;
        const qsizetype before = server.commandLog().count(u"SOCKS5 "_s);
        auto ftp = session(options);
        const bool fetched = ftp->OpenSession() && ftp->EnterRemoteFolder(kFolder) && fetch(*ftp);
        ftp->CloseSession();
        EXPECT_EQ(fetched && received() == program, works) << proxy << fromEnvironment;
        // The control connection and the transfer's.
        EXPECT_EQ(server.commandLog().count(u"SOCKS5 "_s) - before >= 2, carried) << proxy;
    }
    for (const char* variable : {"ALL_PROXY", "ftp_proxy", "NO_PROXY"})
        qunsetenv(variable);
}

// The update command runs again on the same session object after a failure.
TEST_F(CurlFtpClientTest, OpensAgainOnTheSameObjectAfterAFailedFetch)
{
    const QByteArray fresh = content(100000, 13);
    serve(fresh);
    FtpServer server(serverOptions());
    auto ftp = session(clientOptions(server));

    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    EXPECT_EQ(fetch(*ftp, "assente.exe").failure, adv::platform::FtpFailure::RemoteFile);

    ftp->setPassword(kPassword);
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(fetch(*ftp));
    ftp->CloseSession();
    EXPECT_TRUE(received() == fresh);

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
    FtpServer server(serverOptions(FtpTls::Off, FtpFault::Lie150));
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    ASSERT_FTP_OK(fetch(*ftp));
    EXPECT_TRUE(received() == fresh);
}

// Where the caller has other proof of the file, an unknown size is allowed,
// but an endless stream still stops at the configured bound.
TEST_F(CurlFtpClientTest, AnUnknownSizeWhenAllowedIsBoundedByTheLimit)
{
    serve(content(200000, 23));
    FtpServer server(serverOptions(FtpTls::Off, FtpFault::NoSizeEndless));
    FtpOptions options = clientOptions(server);
    options.download.allowUnknownSize = true;
    options.maxDownloadBytes = 2 * 1024 * 1024;
    auto ftp = session(options);
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    const adv::platform::FtpResult fetched = fetch(*ftp);
    EXPECT_EQ(fetched.failure, FtpFailure::Size) << fetched.detail;
    EXPECT_NE(fetched.detail.find("max_download_mb"), std::string::npos) << fetched.detail;
}

// The caller's interrupt check stops a download at once.
TEST_F(CurlFtpClientTest, AnInterruptStopsTheDownloadAtOnce)
{
    serve(content(4 * 1024 * 1024, 25));
    FtpServer server(serverOptions(FtpTls::Off, FtpFault::Drip));
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    bool started = false;
    ftp->setInterruptCheck([&] { return started; });
    const auto start = Clock::now();
    const adv::platform::FtpResult fetched = fetch(*ftp, kRemote, [&](std::int64_t, std::int64_t) { started = true; });
    EXPECT_EQ(fetched.failure, FtpFailure::Interrupted) << fetched.detail;
    EXPECT_LT(secondsSince(start), 1.5);
}

// A setting is never a way to send the server commands of one's own.
TEST_F(CurlFtpClientTest, LineBreaksInSettingsAreRefused)
{
    serve(content(1000, 27));
    FtpServer server(serverOptions());
    for (const std::string& user : {std::string("operatore\r\nDELE dolvo.exe"), std::string("a\nb")}) {
        auto ftp = session(clientOptions(server));
        ftp->setUsername(user);
        EXPECT_EQ(ftp->OpenSession().failure, FtpFailure::Setting);
    }
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    EXPECT_EQ(ftp->EnterRemoteFolder(kFolder + "\r\nDELE x").failure, FtpFailure::Setting);
    EXPECT_FALSE(server.commandLog().contains(u"DELE"_s)) << server.commandLog().toStdString();
}

// A password that is also a piece of the address must not garble the reason:
// the text that holds it is dropped whole.
TEST_F(CurlFtpClientTest, APasswordInTheReasonDropsTheReasonNotPiecesOfIt)
{
    FtpOptions options;
    options.port = adv::test::unusedLoopbackPort();
    options.connectTimeout = std::chrono::seconds(2);
    auto ftp = session(options, "1");
    const adv::platform::FtpResult opened = ftp->OpenSession();
    EXPECT_EQ(opened.failure, FtpFailure::Connection);
    EXPECT_EQ(opened.detail.find('1'), std::string::npos) << opened.detail;
    EXPECT_EQ(opened.detail.find("***"), std::string::npos) << opened.detail;
    EXPECT_NE(opened.detail.find("password"), std::string::npos) << opened.detail;
}

}  // namespace

namespace adv::test::curl {

// The publisher deletes a name in use to rename onto it only on the server's
// "no" (here a read-only account's), never on a session that was lost.
TEST_F(CurlFtpClientTest, APublishSessionTellsTheServersRefusalFromALostSession)
{
    for (const FtpFault fault : {FtpFault::None, FtpFault::CutWrites}) {
        serve("vecchio");
        FtpServerOptions options = serverOptions(FtpTls::Off, fault);
        options.faultAfterBytes = 1;  // the first change is cut
        FtpServer server(options);
        auto ftp = session(clientOptions(server));
        ASSERT_FTP_OK(ftp->OpenSession());
        ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
        const adv::platform::FtpResult renamed = ftp->Rename(kRemote, "altro");
        EXPECT_EQ(renamed.failure, fault == FtpFault::None ? FtpFailure::Refused : FtpFailure::Connection);
        if (fault == FtpFault::None) {
            EXPECT_EQ(renamed.serverReply.substr(0, 3), "550") << renamed.detail;
            EXPECT_EQ(ftp->PutFile(".dolvo.exe.part", "MZ").failure, FtpFailure::Transfer);
        }
    }
}

// Every call that carries a name of the current folder refuses one that is
// not, before anything reaches the server; and none works without a session.
TEST_F(CurlFtpClientTest, EveryCallRefusesANameThatIsNotOneOfTheFolder)
{
    serve("MZ");
    FtpServerOptions options = serverOptions();
    options.writable = true;
    FtpServer server(options);
    auto ftp = session(clientOptions(server));
    EXPECT_EQ(ftp->Rename(kRemote, "altro").failure, FtpFailure::Setting) << "no session yet";
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    const QString before = server.commandLog();
    std::vector<adv::platform::FtpPublishSession::Listed> listed;
    for (const std::string& name : {std::string(), std::string("../dolvo.exe"), std::string("dolvo.exe\r\nDELE x"),
                                    std::string("dolvo.exe\0x", 11), std::string("*dolvo.exe")}) {
        for (const adv::platform::FtpResult& refused :
             {fetch(*ftp, name), ftp->PutFile(name, "MZ"), ftp->ReadBack(name, "MZ"), ftp->Rename(name, kRemote),
              ftp->Rename(kRemote, name), ftp->Delete(name), ftp->MakeFolder(name), ftp->RemoveFolder(name),
              ftp->PlaceFile({}, name, "MZ"), ftp->PlaceFile(name.empty() ? ".." : name, kRemote, "MZ"),
              ftp->ListFacts(name.empty() ? ".." : name, listed, 10)})
            EXPECT_EQ(refused.failure, FtpFailure::Setting) << name << ": " << refused.detail;
    }
    EXPECT_EQ(server.commandLog(), before);
}

// What the server keeps after a store, read back: other bytes are a
// mismatch, more than were sent fail as a download too long does. And when
// the server says it stored it, by its own clock.
TEST_F(CurlFtpClientTest, AReadBackTellsWhetherTheServerKeepsWhatWasSent)
{
    serve("vecchio");
    FtpServerOptions options = serverOptions();
    options.writable = true;
    FtpServer server(options);
    auto ftp = session(clientOptions(server));
    ASSERT_FTP_OK(ftp->OpenSession());
    ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
    const std::string sent = content(70000, 31).toStdString();
    ASSERT_FTP_OK(ftp->PutFile(kRemote, sent));
    ASSERT_FTP_OK(ftp->ReadBack(kRemote, sent));
    adv::platform::FtpPublishSession::Facts stored;
    ASSERT_FTP_OK(ftp->AskAbout(kRemote, stored));
    EXPECT_NEAR(double(stored.modified.value_or(0)), double(QDateTime::currentSecsSinceEpoch()), 60);
    EXPECT_EQ(stored.size, std::ssize(sent));
    std::string changed = sent;
    changed[500] = static_cast<char>(changed[500] ^ 1);
    for (const auto& [held, failure] :
         {std::pair{sent.substr(1), FtpFailure::Mismatch}, std::pair{changed, FtpFailure::Mismatch},
          std::pair{sent + "!", FtpFailure::Size}}) {
        serve(QByteArray::fromStdString(held));
        EXPECT_EQ(ftp->ReadBack(kRemote, sent).failure, failure) << held.size();
    }
}

// A small file placed in a folder below, named from the server's root (no CWD), by way of a name no
// reader takes; where the server will not rename onto a name in use, that deleted first.
TEST_F(CurlFtpClientTest, APlacedFileArrivesWholeUnderItsName)
{
    const QString folder = served() + u'/' + QString::fromStdString(kFolder) + u"/rapporti"_s;
    const QString at = u" /www.zorvanik.test/download/rapporti/"_s;
    const QStringList place = {u"EPSV"_s, u"TYPE I"_s, u"STOR"_s + at + u".sito.txt.part"_s,
                               u"RNFR"_s + at + u".sito.txt.part"_s, u"RNTO"_s + at + u"sito.txt"_s};
    QDir().mkpath(folder);
    for (const auto& [fault, held, commands] :
         {std::tuple{FtpFault::None, false, place},
          {FtpFault::None, true, place},
          {FtpFault::NoRenameOver, true, place + QStringList{u"DELE"_s + at + u"sito.txt"_s, place[3], place[4]}}}) {
        if (held)
            serve("ieri", kFolder + "/rapporti", "sito.txt");
        FtpServerOptions options = serverOptions(FtpTls::Off, fault);
        options.writable = true;
        FtpServer server(options);
        auto ftp = session(clientOptions(server));
        ASSERT_FTP_OK(ftp->OpenSession());
        ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
        ASSERT_FTP_OK(ftp->PlaceFile("rapporti", "sito.txt", "oggi"));
        EXPECT_EQ(server.commandLog().split(u'\n', Qt::SkipEmptyParts).mid(4), commands) << held;
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{u"sito.txt"_s});
        EXPECT_EQ(readFile(folder + u"/sito.txt"_s), "oggi");
    }
}

// A folder's files and their facts over one data connection, named from the
// server's root: MLSD, or LIST from a server without it, then not asked again.
TEST_F(CurlFtpClientTest, AFoldersFilesComeWithTheirFacts)
{
    serve("rapporto", kFolder + "/rapporti", "sito-1.txt");
    serve("altro rapporto", kFolder + "/rapporti", "sito 2.txt");
    QDir(served()).mkpath(QString::fromStdString(kFolder) + u"/rapporti/cartella"_s);
    const std::int64_t time = QFileInfo(served() + u'/' + QString::fromStdString(kFolder) + u"/rapporti/sito-1.txt"_s)
                                  .lastModified()
                                  .toSecsSinceEpoch();
    const QString at = u" /www.zorvanik.test/download/rapporti"_s;
    const QStringList mlsd = {u"EPSV"_s, u"TYPE A"_s, u"MLSD"_s + at, u"EPSV"_s};
    for (const auto& [fault, commands] :
         {std::pair{FtpFault::None, mlsd + QStringList{u"MLSD"_s + at}},
          {FtpFault::NoMlsd, mlsd + QStringList{u"LIST"_s + at, u"EPSV"_s, u"LIST"_s + at}}}) {
        FtpServer server(serverOptions(FtpTls::Off, fault));
        auto ftp = session(clientOptions(server));
        std::vector<adv::platform::FtpPublishSession::Listed> listed;
        ASSERT_FTP_OK(ftp->OpenSession());
        ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder));
        EXPECT_EQ(ftp->ListFacts("rapporti", listed, 1).failure, FtpFailure::Size);
        ASSERT_FTP_OK(ftp->ListFacts("rapporti", listed, 2));
        EXPECT_EQ(server.commandLog().split(u'\n', Qt::SkipEmptyParts).mid(4), commands);
        std::ranges::sort(listed, {}, &adv::platform::FtpPublishSession::Listed::name);
        ASSERT_EQ(listed.size(), 2u);
        EXPECT_EQ(std::tuple(listed[0].name, listed[0].size), std::tuple("sito 2.txt", 14));
        EXPECT_EQ(std::tuple(listed[1].name, listed[1].size), std::tuple("sito-1.txt", 8));
        EXPECT_EQ(listed[1].modified, fault == FtpFault::None ? std::optional(time) : std::nullopt);
        EXPECT_FALSE(listed[1].stamp.empty());
    }
}

}  // namespace adv::test::curl
