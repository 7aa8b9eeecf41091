// The FTP session's tests: a served tree and an installation side by side
// in one temporary folder, and the loopback server fixture.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/FtpClient.h"
#include "tests/support/FileSetup.h"
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
constexpr int kInstalledMode = 0750;

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

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray readFile(const QString& path)
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
        ASSERT_TRUE(adv::test::setMode(target(), kInstalledMode));
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
        EXPECT_EQ(adv::test::modeOf(target()), kInstalledMode);
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

}  // namespace adv::test::curl
