// Signed updates end to end: keys and signatures made here with Debian's
// minisign, a real FTP server, the real program's --update and --rollback.
#include <gtest/gtest.h>

#include <QProcess>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <stdexcept>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/FtpServer.h"
#include "tests/support/Spawn.h"

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

const QString kUpdated = u"- Il programma è stato aggiornato... "_s;
const QString kNotVerified = u"il programma scaricato non viene verificato"_s;

std::string readAll(const fs::path& file)
{
    std::ifstream f(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void writeAll(const fs::path& file, const std::string& bytes)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

struct Ran {
    int status = -1;
    QString out;
    QString err;
};

Ran run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000))
        p.kill();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// A minisign key pair in a folder of its own, without a password.
struct Key {
    fs::path secret;
    std::string publicLine;  // "RW..."

    // A new pair; or, with `existing`, the one already in `folder`.
    explicit Key(const fs::path& folder, bool existing = false)
    {
        fs::create_directories(folder);
        secret = folder / "minisign.key";
        const Ran made = existing ? Ran{0, {}, {}}
                                  : run(u"minisign"_s, {u"-G"_s, u"-W"_s, u"-f"_s, u"-p"_s,
                                                        QString::fromStdString((folder / "minisign.pub").string()),
                                                        u"-s"_s, QString::fromStdString(secret.string())});
        if (made.status != 0)
            throw std::runtime_error("minisign -G failed: " + made.err.toStdString());
        std::ifstream pub(folder / "minisign.pub");
        std::getline(pub, publicLine);  // the untrusted comment
        std::getline(pub, publicLine);
    }

    // Signs `file` as the maker would; `timestamp` goes into the trusted
    // comment in minisign's own form.
    void sign(const fs::path& file, long timestamp) const
    {
        QStringList args{u"-S"_s,
                         u"-s"_s,
                         QString::fromStdString(secret.string()),
                         u"-m"_s,
                         QString::fromStdString(file.string()),
                         u"-t"_s,
                         QString::fromStdString("timestamp:" + std::to_string(timestamp) + "\tfile:dolvo.exe")};
        const Ran signed_ = run(u"minisign"_s, args);
        if (signed_.status != 0)
            throw std::runtime_error("minisign -S failed: " + signed_.err.toStdString());
    }
};

// A drive with Dolvo installed and a server that publishes releases.
struct Stage {
    adv::test::TempDir dir;
    fs::path drive = fs::path(dir.path()) / "drive_c";
    fs::path installed = drive / "dolvo/dolvo.exe";
    fs::path published = fs::path(dir.path()) / "ftp/www.zorvanik.it/download/dolvo.exe";
    fs::path signature = fs::path(published.string() + ".minisig");
    Key maker{fs::path(dir.path()) / "maker"};
    std::unique_ptr<adv::test::FtpServer> server;

    Stage()
    {
        writeAll(installed, "MZ installata");
        fs::create_directories(published.parent_path());
        adv::test::FtpServerOptions options;
        options.root = QString::fromStdString((fs::path(dir.path()) / "ftp").string());
        server = std::make_unique<adv::test::FtpServer>(options);
    }

    // Publishes `bytes` signed by the maker at `timestamp`: program first,
    // signature last, as the maker does.
    void publish(const std::string& bytes, long timestamp)
    {
        writeAll(published, bytes);
        maker.sign(published, timestamp);
    }

    QString config(const std::string& extra = {}) const
    {
        const fs::path ini = fs::path(dir.path()) / "AggiornaDV.ini";
        writeAll(ini, "root = " + drive.string() + "\nhost = 127.0.0.1\nport = " + std::to_string(server->port()) +
                          "\nuser = operatore\npassword = prova-segreta\nconnect_timeout_s = 3\nstall_timeout_s = 2\n" +
                          "log_file = " + (fs::path(dir.path()) / "AggiornaDV.log").string() + "\n" + extra);
        return QString::fromStdString(ini.string());
    }
    QString signedConfig() const { return config("public_key = " + maker.publicLine + "\n"); }

    Ran update(const QString& ini, const QString& program = QStringLiteral(ADV_BINARY)) const
    {
        return run(program, {u"--update"_s, u"--config"_s, ini});
    }

    std::vector<std::string> folder() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(installed.parent_path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

QString lastLine(const QString& out)
{
    const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QString() : lines.back();
}

const std::vector<std::string> kUpdatedFolder{"dolvo.exe", "dolvo.exe.prev", "dolvo.exe.release"};

// Debian's minisign and the program agree; what the program decides of a
// signature is the core suite's table.
TEST(SignedUpdate, AGenuineReleaseIsInstalled)
{
    Stage stage;
    stage.publish("MZ versione 2", 2000);
    const Ran r = stage.update(stage.signedConfig());
    ASSERT_EQ(r.status, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(lastLine(r.out), kUpdated);
    EXPECT_FALSE(r.err.contains(kNotVerified)) << r.err.toStdString();
    EXPECT_EQ(readAll(stage.installed), "MZ versione 2");
    EXPECT_EQ(readAll(stage.installed.string() + ".prev"), "MZ installata");
    EXPECT_EQ(stage.folder(), kUpdatedFolder);
}

TEST(SignedUpdate, WithoutAKeyTheUpdateIsPlainAndSaysSoOnce)
{
    Stage stage;
    stage.publish("MZ versione 2", 2000);
    writeAll(stage.installed.string() + ".minisig", "a signature from an earlier signed update");
    const Ran r = stage.update(stage.config());
    EXPECT_EQ(r.status, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(r.err.count(kNotVerified), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(u"public_key"_s)) << "it says how to turn verification on";
    EXPECT_EQ(readAll(stage.installed), "MZ versione 2");
    // The old signature would speak for a program that is no longer there.
    EXPECT_EQ(stage.folder(),
              (std::vector<std::string>{"dolvo.exe", "dolvo.exe.prev", "dolvo.exe.release", "dolvo.exe.server"}));
    // The server's file as it was when installed: known as current without
    // downloading it, and --check says so.
    const Ran check = run(QStringLiteral(ADV_BINARY), {u"--check"_s, u"--config"_s, stage.config()});
    EXPECT_EQ(check.status, 0) << check.out.toStdString() << check.err.toStdString();
    EXPECT_EQ(lastLine(check.out), u"- Il programma è già aggiornato"_s);
}

// A program built with the maker's key: the configuration can repeat the
// key, not remove or replace it.
TEST(SignedUpdate, ABuiltInKeyCannotBeRemovedOrReplaced)
{
    Stage stage;
    const Key builtIn(fs::path(ADV_BUILTIN_KEY_DIR), /*existing=*/true);
    const QString keyed = QStringLiteral(ADV_KEYED_BINARY);

    writeAll(stage.published, "MZ versione 2");
    stage.maker.sign(stage.published, 2000);  // not the built-in key
    for (const std::string& extra : std::vector<std::string>{"", "public_key =\n"}) {
        const Ran r = stage.update(stage.config(extra), keyed);
        EXPECT_EQ(r.status, 6) << extra << r.out.toStdString() << r.err.toStdString();
        EXPECT_FALSE(r.err.contains(kNotVerified));
    }
    const Ran replaced = stage.update(stage.signedConfig(), keyed);
    EXPECT_EQ(replaced.status, 78) << replaced.err.toStdString();
    EXPECT_TRUE(replaced.err.contains(u"incorporata"_s)) << replaced.err.toStdString();
    EXPECT_EQ(readAll(stage.installed), "MZ installata");

    builtIn.sign(stage.published, 2000);
    const Ran genuine = stage.update(stage.config("public_key = " + builtIn.publicLine + "\n"), keyed);
    EXPECT_EQ(genuine.status, 0) << genuine.out.toStdString() << genuine.err.toStdString();
    EXPECT_EQ(readAll(stage.installed), "MZ versione 2");
}

}  // namespace
