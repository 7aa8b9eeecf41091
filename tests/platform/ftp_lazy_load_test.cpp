// libcurl comes into the process with the first FTP session, not at start.
// A program of its own: it links nothing that needs libcurl, so whether the
// library is mapped tells what the session code did, whatever order the
// tests run in.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/FtpSession.h"
#include "platform/curl_api.h"
#include "tests/support/FtpServer.h"

namespace {

using namespace Qt::StringLiterals;

// True when a libcurl shared object is mapped into this process.
bool libcurlMapped()
{
    QFile maps(u"/proc/self/maps"_s);
    if (!maps.open(QIODevice::ReadOnly))
        ADD_FAILURE() << "cannot read /proc/self/maps";
    return maps.readAll().contains("/libcurl");
}

TEST(CurlLoading, HappensAtTheFirstOpenSessionOnly)
{
    ASSERT_FALSE(libcurlMapped()) << "libcurl is linked into the test program: this test proves nothing";

    QTemporaryDir tmp(QDir::tempPath() + u"/adv-ftp-lazy-XXXXXX"_s);
    ASSERT_TRUE(tmp.isValid());
    adv::test::FtpServerOptions serverOptions;
    serverOptions.root = tmp.path();
    adv::test::FtpServer server(serverOptions);

    adv::platform::FtpOptions options;
    options.port = server.port();
    options.connectTimeoutS = 5;
    auto ftp = adv::platform::makeCurlFtpSession(options);
    ftp->setHostname("127.0.0.1");
    ftp->setUsername(serverOptions.user);
    ftp->setPassword(serverOptions.password);
    ftp->setPassive(true);
    EXPECT_FALSE(libcurlMapped()) << "making and setting up a session loaded libcurl";

    // Nothing to do without a session: no reason to load anything either.
    EXPECT_FALSE(ftp->EnterRemoteFolder("anywhere"));
    EXPECT_FALSE(libcurlMapped()) << "a call without a session loaded libcurl";

    ASSERT_TRUE(ftp->OpenSession()) << ftp->errorText();
    EXPECT_TRUE(libcurlMapped()) << "a session ran without libcurl mapped?";
    ftp->CloseSession();
}

TEST(CurlLoading, AMissingLibraryIsAReasonNotACrash)
{
    const adv::platform::CurlLoad load = adv::platform::loadCurlApi(u"adv-no-such-curl"_s, 4);
    EXPECT_FALSE(load.api.has_value());
    EXPECT_EQ(load.error.rfind("libcurl could not be loaded", 0), 0u) << load.error;
    EXPECT_NE(load.error.find("adv-no-such-curl"), std::string::npos) << load.error;
}

}  // namespace
