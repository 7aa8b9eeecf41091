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
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/FtpServer.h"
#include "tests/support/Spawn.h"

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

namespace {

const QString kNotAuthentic = u"- Il programma scaricato non è autentico: aggiornamento annullato"_s;
const QString kOlder = u"- Il server offre una versione precedente del programma: aggiornamento annullato"_s;
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
        const Ran made = existing ? Ran{0, {}, {}} : run(u"minisign"_s, {u"-G"_s, u"-W"_s, u"-f"_s, u"-p"_s,
                                             QString::fromStdString((folder / "minisign.pub").string()), u"-s"_s,
                                             QString::fromStdString(secret.string())});
        if (made.status != 0)
            throw std::runtime_error("minisign -G failed: " + made.err.toStdString());
        std::ifstream pub(folder / "minisign.pub");
        std::getline(pub, publicLine);  // the untrusted comment
        std::getline(pub, publicLine);
    }

    // Signs `file` as the maker would; `timestamp` goes into the trusted
    // comment in minisign's own form.
    void sign(const fs::path& file, long timestamp, const std::string& named = "dolvo.exe", bool legacy = false) const
    {
        QStringList args{u"-S"_s, u"-s"_s, QString::fromStdString(secret.string()), u"-m"_s,
                         QString::fromStdString(file.string()), u"-t"_s,
                         QString::fromStdString("timestamp:" + std::to_string(timestamp) + "\tfile:" + named)};
        if (legacy)
            args << u"-l"_s;
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
                          "\nuser = operatore\npassword = prova-segreta\nconnect_timeout_s = 3\n" + extra);
        return QString::fromStdString(ini.string());
    }
    QString signedConfig() const { return config("public_key = " + maker.publicLine + "\n"); }

    Ran update(const QString& ini, const QString& program = QStringLiteral(ADV_BINARY)) const
    {
        return run(program, {u"--update"_s, u"--config"_s, ini});
    }
    Ran rollBack() const { return run(QStringLiteral(ADV_BINARY), {u"--rollback"_s, u"--config"_s, config()}); }

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

TEST(SignedUpdate, AGenuineReleaseIsInstalledWithItsSignatureAndThePreviousOneIsKept)
{
    Stage stage;
    stage.publish("MZ versione 2", 2000);
    const Ran r = stage.update(stage.signedConfig());
    ASSERT_EQ(r.status, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(lastLine(r.out), kUpdated);
    EXPECT_FALSE(r.err.contains(kNotVerified)) << r.err.toStdString();
    EXPECT_EQ(readAll(stage.installed), "MZ versione 2");
    EXPECT_EQ(readAll(stage.installed.string() + ".minisig"), readAll(stage.signature));
    EXPECT_EQ(readAll(stage.installed.string() + ".prev"), "MZ installata");
    EXPECT_EQ(stage.folder(), (std::vector<std::string>{"dolvo.exe", "dolvo.exe.minisig", "dolvo.exe.prev"}));

    // The next release: the signed one becomes the previous, with its signature.
    const std::string firstSignature = readAll(stage.signature);
    stage.publish("MZ versione 3", 3000);
    ASSERT_EQ(stage.update(stage.signedConfig()).status, 0);
    EXPECT_EQ(readAll(stage.installed), "MZ versione 3");
    EXPECT_EQ(readAll(stage.installed.string() + ".prev"), "MZ versione 2");
    EXPECT_EQ(readAll(stage.installed.string() + ".prev.minisig"), firstSignature);
}

// Each way a download can fail to be the maker's: nothing is replaced and
// nothing is left behind.
struct Forgery {
    const char* label;
    std::function<void(Stage&)> make;
    const char* reason;  // in the English reason on stderr
};

void replaceLine(const fs::path& file, int index, const std::string& with)
{
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    lines.at(static_cast<std::size_t>(index)) = with;
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    writeAll(file, text);
}

class Forged : public ::testing::TestWithParam<Forgery> {};

TEST_P(Forged, IsNotInstalled)
{
    Stage stage;
    GetParam().make(stage);
    const Ran r = stage.update(stage.signedConfig());
    EXPECT_EQ(r.status, 6) << r.out.toStdString() << r.err.toStdString();
    EXPECT_EQ(lastLine(r.out), kNotAuthentic);
    EXPECT_TRUE(r.err.contains(QString::fromUtf8(GetParam().reason))) << r.err.toStdString();
    EXPECT_EQ(readAll(stage.installed), "MZ installata");
    EXPECT_EQ(stage.folder(), std::vector<std::string>{"dolvo.exe"});
}

INSTANTIATE_TEST_SUITE_P(
    SignedUpdate, Forged,
    ::testing::Values(
        Forgery{"tamperedFile",
                [](Stage& s) {
                    s.publish("MZ versione 2", 2000);
                    writeAll(s.published, "MZ versione X");  // same size, other bytes
                },
                "does not match its signature"},
        Forgery{"missingSignature",
                [](Stage& s) {
                    s.publish("MZ versione 2", 2000);
                    fs::remove(s.signature);
                },
                "dolvo.exe.minisig"},
        Forgery{"anotherKey",
                [](Stage& s) {
                    writeAll(s.published, "MZ versione 2");
                    Key(fs::path(s.dir.path()) / "intruder").sign(s.published, 2000);
                },
                "not by the configured key"},
        Forgery{"legacySignature",
                [](Stage& s) {
                    writeAll(s.published, "MZ versione 2");
                    s.maker.sign(s.published, 2000, "dolvo.exe", /*legacy=*/true);
                },
                "legacy"},
        Forgery{"commentForAnotherFile",
                [](Stage& s) {
                    writeAll(s.published, "MZ versione 2");
                    s.maker.sign(s.published, 2000, "trevanto.exe");
                },
                "file:dolvo.exe"},
        Forgery{"commentAlteredAfterSigning",
                [](Stage& s) {
                    s.publish("MZ versione 2", 2000);
                    replaceLine(s.signature, 2, "trusted comment: timestamp:9999999999\tfile:dolvo.exe");
                },
                "global signature"},
        Forgery{"oversizedSignature",
                [](Stage& s) {
                    s.publish("MZ versione 2", 2000);
                    writeAll(s.signature, readAll(s.signature) + std::string(17 * 1024, '#'));
                },
                "larger than the 16384 bytes"},
        Forgery{"garbledSignature",
                [](Stage& s) {
                    s.publish("MZ versione 2", 2000);
                    replaceLine(s.signature, 1, "RUQnonèbase64");
                },
                "base64"}),
    [](const ::testing::TestParamInfo<Forgery>& forgery) { return std::string(forgery.param.label); });

TEST(SignedUpdate, AnOlderReleaseIsRefusedAndTheSameOneMayBeReinstalled)
{
    Stage stage;
    stage.publish("MZ versione 3", 3000);
    ASSERT_EQ(stage.update(stage.signedConfig()).status, 0);
    const std::string kept = readAll(stage.installed.string() + ".minisig");
    const auto before = stage.folder();

    stage.publish("MZ versione 2", 2000);
    const Ran older = stage.update(stage.signedConfig());
    EXPECT_EQ(older.status, 7) << older.out.toStdString() << older.err.toStdString();
    EXPECT_EQ(lastLine(older.out), kOlder);
    EXPECT_TRUE(older.err.contains(u"older than the installed one"_s)) << older.err.toStdString();
    EXPECT_EQ(readAll(stage.installed), "MZ versione 3");
    EXPECT_EQ(readAll(stage.installed.string() + ".minisig"), kept);
    EXPECT_EQ(stage.folder(), before);

    // An older release whose file was also tampered with is, first of all, not genuine.
    writeAll(stage.published, "MZ versione X");
    EXPECT_EQ(stage.update(stage.signedConfig()).status, 6);

    stage.publish("MZ versione 3", 3000);
    EXPECT_EQ(stage.update(stage.signedConfig()).status, 0) << "the same release may be installed again";
}

TEST(SignedUpdate, RollBackGoesBackAndForwardAndTheNewerReleaseMayFollow)
{
    Stage stage;
    const Ran nothing = stage.rollBack();
    EXPECT_EQ(nothing.status, 8) << nothing.out.toStdString() << nothing.err.toStdString();
    EXPECT_EQ(lastLine(nothing.out), u"- Nessuna versione precedente da ripristinare"_s);
    EXPECT_EQ(readAll(stage.installed), "MZ installata");
    EXPECT_EQ(stage.folder(), std::vector<std::string>{"dolvo.exe"}) << "a roll-back with nothing kept touched files";

    stage.publish("MZ versione 2", 2000);
    ASSERT_EQ(stage.update(stage.signedConfig()).status, 0);
    stage.publish("MZ versione 3", 3000);
    ASSERT_EQ(stage.update(stage.signedConfig()).status, 0);
    const std::string signature3 = readAll(stage.installed.string() + ".minisig");
    const std::string signature2 = readAll(stage.installed.string() + ".prev.minisig");

    const Ran back = stage.rollBack();
    EXPECT_EQ(back.status, 0) << back.out.toStdString() << back.err.toStdString();
    EXPECT_EQ(lastLine(back.out), u"- Ripristinata la versione precedente del programma"_s);
    EXPECT_EQ(readAll(stage.installed), "MZ versione 2");
    EXPECT_EQ(readAll(stage.installed.string() + ".minisig"), signature2);
    EXPECT_EQ(readAll(stage.installed.string() + ".prev"), "MZ versione 3");
    EXPECT_EQ(readAll(stage.installed.string() + ".prev.minisig"), signature3);

    ASSERT_EQ(stage.rollBack().status, 0);
    EXPECT_EQ(readAll(stage.installed), "MZ versione 3") << "a second roll-back goes forward again";
    EXPECT_EQ(readAll(stage.installed.string() + ".minisig"), signature3);

    // Back on 2, the server's 3 is newer than the signature beside the program.
    ASSERT_EQ(stage.rollBack().status, 0);
    EXPECT_EQ(stage.update(stage.signedConfig()).status, 0);
    EXPECT_EQ(readAll(stage.installed), "MZ versione 3");
    EXPECT_EQ(stage.folder(), (std::vector<std::string>{"dolvo.exe", "dolvo.exe.minisig", "dolvo.exe.prev",
                                                        "dolvo.exe.prev.minisig"}));
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
    EXPECT_EQ(stage.folder(), (std::vector<std::string>{"dolvo.exe", "dolvo.exe.prev", "dolvo.exe.prev.minisig"}));
}

TEST(SignedUpdate, AMalformedKeyIsAConfigurationError)
{
    Stage stage;
    stage.publish("MZ versione 2", 2000);
    for (const std::string& bad : std::vector<std::string>{"RWnonunachiave", stage.maker.publicLine.substr(0, 40),
                                                           "UWQ" + stage.maker.publicLine.substr(3)}) {
        const Ran r = stage.update(stage.config("public_key = " + bad + "\n"));
        EXPECT_EQ(r.status, 78) << bad << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(u"public_key"_s)) << r.err.toStdString();
    }
    EXPECT_EQ(readAll(stage.installed), "MZ installata");
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
