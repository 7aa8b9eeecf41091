// The FTP session where only Linux can set the scene: another user, another
// owner, a second process holding the lock, a full disk.
#include "tests/platform/CurlFtpClientFixture.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/Spawn.h"

namespace {

using namespace adv::test::curl;

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
    EXPECT_EQ(static_cast<int>(st.st_mode & 07777), kInstalledMode);
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
