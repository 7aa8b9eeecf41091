// The FTP session's tests: a served tree in a temporary folder, the loopback
// server fixture, and what a download brought, in memory.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <string>

#include "platform/FtpClient.h"
#include "tests/support/FileSetup.h"
#include "tests/support/Files.h"
#include "tests/support/FtpServer.h"

// Stops the test with the session's own reason when an operation fails.
#define ASSERT_FTP_OK(expr)                                                                                            \
    if (const adv::platform::FtpResult ftpResult_ = (expr); ftpResult_) {                                              \
    } else                                                                                                             \
        GTEST_FAIL() << ftpResult_.detail

namespace adv::test::curl {

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

// Deterministic, non-repeating content, so a shifted or truncated copy
// never compares equal.
inline QByteArray content(qint64 size, quint32 seed)
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

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A sink that checks the file whole itself, holding its start (or nothing).
class Resumable final : public adv::platform::FtpSink {
public:
    Resumable(const QByteArray& start, qint64 size) : bytes(start), held(start.size()), whole(size) {}
    adv::platform::FtpResult take(const char* data, std::size_t size) override
    {
        bytes.append(data, static_cast<qsizetype>(size));
        return {};
    }
    std::int64_t capacity() const override { return whole; }
    bool checksWhole() const override { return true; }
    std::int64_t heldAlready() const override { return held; }
    QByteArray bytes;
    qint64 held, whole;
};

class CurlFtpClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp_.isValid());
        QDir(tmp_.path()).mkpath(u"served"_s);
    }

    QString served() const { return tmp_.filePath(u"served"_s); }

    void serve(const QByteArray& bytes, const std::string& folder = kFolder, const std::string& name = kRemote)
    {
        writeFile(served() + u'/' + QString::fromStdString(folder) + u'/' + QString::fromStdString(name), bytes);
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

    static std::unique_ptr<adv::platform::FtpPublishSession> session(const FtpOptions& options,
                                                                     const std::string& password = kPassword)
    {
        auto ftp = adv::platform::makeCurlFtpPublishSession(options);
        ftp->setHostname("127.0.0.1");
        ftp->setUsername(FtpServerOptions{}.user);
        ftp->setPassword(password);
        return ftp;
    }

    // Fetches into received(), afresh each time.
    adv::platform::FtpResult fetch(FtpClient& ftp, const std::string& name = kRemote,
                                   const adv::platform::FtpProgress& progress = {})
    {
        received_ = std::make_unique<adv::platform::MemorySink>(64 * 1024 * 1024);
        return ftp.FetchFile(name, *received_, progress);
    }
    QByteArray received() const { return QByteArray::fromStdString(received_->contents()); }

    static void expectNoSecret(const adv::platform::FtpResult& result, const std::string& secret = kPassword)
    {
        EXPECT_FALSE(result.detail.empty());
        EXPECT_EQ(result.detail.find(secret), std::string::npos) << result.detail;
    }

    QTemporaryDir tmp_{QDir::tempPath() + u"/adv-ftp-test-XXXXXX"_s};
    std::unique_ptr<adv::platform::MemorySink> received_;
};

}  // namespace adv::test::curl
