// The FTP session against Debian's servers, which scripts/install-deps.sh
// unpacks into the libraries' cache, where they differ as it relies on them:
// a size in ASCII mode (vsftpd and Pure-FTPd give it, ProFTPD refuses), and
// a start past the file's end (vsftpd then sends nothing, the others refuse).
#include <cstdio>
#include <utility>

#include "tests/platform/CurlFtpClientFixture.h"

namespace adv::test::curl {

TEST_F(CurlFtpClientTest, DebiansServersAnswerTheQuestionsAndResume)
{
    if (QFileInfo(u"/proc/self"_s).ownerId() != 0)  // this process's user
        GTEST_SKIP() << "the servers give up root for the user they serve, which only root can arrange";
    const QString cache = qEnvironmentVariable(
        "ADV_DEPS_CACHE", qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + u"/.cache"_s) + u"/aggiornadv"_s);
    const QByteArray lines = QByteArray("una riga\n").repeated(3000);  // longer in ASCII mode
    serve(lines);
    const QFileInfo file(served() + u'/' + QString::fromStdString(kFolder + "/" + kRemote));
    for (const auto& [name, user] :
         {std::pair{"vsftpd", "ftp"}, {"pure-ftpd", "operatore"}, {"proftpd", "operatore"}}) {
        const QString prefix = cache + u'/' + QString::fromUtf8(name);
        if (!QFileInfo(prefix + u"/usr/sbin/"_s + QString::fromUtf8(name)).isExecutable()) {
            std::printf("skipped %s: not unpacked in %s\n", name, qPrintable(prefix));
            continue;
        }
        FtpServer server({.root = served(), .user = user, .realServer = name, .realPrefix = prefix.toStdString()});
        auto ftp = session(clientOptions(server));
        ftp->setUsername(user);
        FtpClient::Facts facts;
        Resumable beyond(lines + "oltre", lines.size() + 100);
        ASSERT_FTP_OK(ftp->OpenSession()) << name;
        ASSERT_FTP_OK(ftp->EnterRemoteFolder(kFolder)) << name;
        ASSERT_FTP_OK(ftp->AskAbout(kRemote, facts)) << name;
        EXPECT_EQ(facts.size, lines.size()) << name;
        EXPECT_EQ(facts.modified, file.lastModified().toSecsSinceEpoch()) << name;
        EXPECT_EQ(ftp->AskAbout("assente.exe", facts).failure, FtpFailure::RemoteFile) << name;
        EXPECT_EQ(ftp->FetchFile(kRemote, beyond).failure, FtpFailure::Resume) << name;
    }
}

// The sites' account for their reports on vsftpd, set up as README.md says:
// it places a report and replaces it, and may not read, list or make a folder.
TEST_F(CurlFtpClientTest, AReportsAccountOnVsftpdMayOnlyWrite)
{
    const QString prefix =
        qEnvironmentVariable("ADV_DEPS_CACHE", qEnvironmentVariable("XDG_CACHE_HOME", QDir::homePath() + u"/.cache"_s) +
                                                   u"/aggiornadv"_s) +
        u"/vsftpd"_s;
    if (QFileInfo(u"/proc/self"_s).ownerId() != 0 || !QFileInfo(prefix + u"/usr/sbin/vsftpd"_s).isExecutable())
        GTEST_SKIP() << "root only, with vsftpd unpacked in " << prefix.toStdString();
    QDir(served()).mkpath(u"rapporti"_s);
    FtpServer server({.root = served(),
                      .user = "ftp",
                      .realServer = "vsftpd",
                      .realPrefix = prefix.toStdString(),
                      .writeOnly = "rapporti"});
    auto ftp = session(clientOptions(server));
    ftp->setUsername("sito");
    std::vector<adv::platform::FtpPublishSession::Listed> listed;
    Resumable back({}, 100);
    ASSERT_FTP_OK(ftp->OpenSession());
    for (const char* report : {"ieri", "oggi"})
        ASSERT_FTP_OK(ftp->PlaceFile({}, "sito.txt", report));
    EXPECT_EQ(readFile(served() + u"/rapporti/sito.txt"_s), "oggi");
    for (const auto& refused : {ftp->FetchFile("sito.txt", back), ftp->ListFacts({}, listed), ftp->MakeFolder("x")})
        EXPECT_EQ(refused.serverReply, "550 Permission denied.") << refused.detail;
}

}  // namespace adv::test::curl
