// The program end to end, as an operator or a script runs it: real files,
// real children under the products' names, the real executable.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/ProductTable.h"
#include "platform/ProcessTable.h"
#include "tests/support/FtpServer.h"
#include "tests/support/Spawn.h"

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

Outcome runUpdater(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(ADV_BINARY), args);
    if (!p.waitForFinished(60000))
        p.kill();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

QString writeIni(const QString& path, const QString& text)
{
    fs::create_directories(fs::path(path.toStdString()).parent_path());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(text.toUtf8());
    return path;
}

void touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "MZ";
}

// A run of the real sweep closes every process of the products' names on
// this machine; the test only goes ahead when the only ones are its own.
std::string foreignProductProcess()
{
    for (const auto& product : adv::kProducts)
        for (std::string_view exe : product.executables)
            if (!adv::platform::openProcessesNamed(exe).empty())
                return std::string(exe);
    if (!adv::platform::openProcessesNamed(adv::kAlwaysClosed).empty())
        return std::string(adv::kAlwaysClosed);
    return {};
}

#define SKIP_IF_FOREIGN_PRODUCTS_RUN()                                                        \
    if (const std::string who = foreignProductProcess(); !who.empty())                       \
    GTEST_SKIP() << "a process named " << who << " that this test did not start is running; " \
                    "the sweep would close it"

TEST(CommandLine, VersionAndUsage)
{
    const Outcome version = runUpdater({u"--version"_s});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, u"AggiornaDV 1.0.0.11\n"_s);

    for (const QStringList& bad : {QStringList{u"--bogus"_s}, QStringList{u"extra"_s},
                                   QStringList{u"--config"_s}, QStringList{u"--sweep"_s, u"--update"_s}}) {
        const Outcome r = runUpdater(bad);
        EXPECT_EQ(r.status, 64) << bad.join(u' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_FALSE(r.err.isEmpty());
    }
}

TEST(CommandLine, SweepClosesTheInstalledProductsProgramsOnly)
{
    SKIP_IF_FOREIGN_PRODUCTS_RUN();
    adv::test::TempDir dir;
    const fs::path root = fs::path(dir.path()) / "drive_c";
    touch(root / "dolvo/dolvo.exe");
    touch(root / "KIVO/kivo.exe");  // Kivo, spelt the way a copy from a CD might be
    const QString ini = writeIni(QString::fromStdString(dir.file("AggiornaDV.ini")),
                                 u"root = %1\nclose_grace_s = 2\n"_s.arg(QString::fromStdString(root.string())));

    const std::string bin = dir.file("bin");
    fs::create_directories(bin);
    std::vector<std::pair<std::string, adv::test::Child>> closed, spared;
    for (const char* name : {"dolvo.exe", "nodoart.exe", "Kivo.exe", "kivoavvisi.exe", "Vudarav.exe"})
        closed.emplace_back(name, adv::test::spawnNamed(bin, name));
    // Near misses, and the programs of products that are not installed.
    for (const char* name : {"vidorizu.exe", "lettovi.exe", "xdolvo.exe", "dolvo.ex", "Kivo.exe2", "trevanto"})
        spared.emplace_back(name, adv::test::spawnNamed(bin, name));

    const Outcome r = runUpdater({u"--sweep"_s, u"--config"_s, ini});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, u"[x] Dolvo\n[ ] Trevanto\n[x] Kivo\n[ ] KIVO Term.WIFI\n"_s);

    for (auto& [name, child] : closed)
        EXPECT_TRUE(child.waitExit(5s)) << name << " should have been closed";
    for (auto& [name, child] : spared)
        EXPECT_TRUE(child.running()) << name << " should still run: " << child.describe();
}

TEST(CommandLine, BadConfigurationStopsBeforeClosingAnything)
{
    SKIP_IF_FOREIGN_PRODUCTS_RUN();
    adv::test::TempDir dir;
    const std::string bin = dir.file("bin");
    fs::create_directories(bin);
    adv::test::Child always = adv::test::spawnNamed(bin, "Vudarav.exe");

    struct Case {
        QString text;
        QString key;
    };
    for (const Case& c : {Case{u"close_grace_s = -2\n"_s, u"close_grace_s"_s},
                          Case{u"root = /nonexistent/aggiornadv\n"_s, u"root"_s},
                          Case{u"tls = forse\n"_s, u"tls"_s}}) {
        const QString ini = writeIni(QString::fromStdString(dir.file("bad.ini")), c.text);
        const Outcome r = runUpdater({u"--sweep"_s, u"--config"_s, ini});
        EXPECT_EQ(r.status, 78) << c.text.toStdString();
        EXPECT_TRUE(r.err.contains(ini) && r.err.contains(c.key)) << r.err.toStdString();
        EXPECT_EQ(r.err.count(u'\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    const Outcome missing = runUpdater({u"--sweep"_s, u"--config"_s, QString::fromStdString(dir.file("none.ini"))});
    EXPECT_EQ(missing.status, 78);

    EXPECT_TRUE(always.running()) << "a bad configuration must close nothing";
}

// Where the configuration is looked for when --config is not given.
TEST(CommandLine, FindsTheUsersFileThenTheSystemsThenDefaults)
{
    SKIP_IF_FOREIGN_PRODUCTS_RUN();
    adv::test::TempDir dir;
    const fs::path userRoot = fs::path(dir.path()) / "user_root";
    const fs::path systemRoot = fs::path(dir.path()) / "system_root";
    touch(userRoot / "dolvo/dolvo.exe");
    touch(systemRoot / "trevanto/trevanto.exe");
    const QString home = QString::fromStdString(dir.file("home"));
    const QString etc = QString::fromStdString(dir.file("etc"));

    struct Case {
        bool userFile;
        bool systemFile;
        QString expected;
    };
    const QString kDefault = u"[ ] Dolvo\n[ ] Trevanto\n[ ] Kivo\n[ ] KIVO Term.WIFI\n"_s;
    for (const Case& c : {Case{true, true, u"[x] Dolvo\n[ ] Trevanto\n[ ] Kivo\n[ ] KIVO Term.WIFI\n"_s},
                          Case{false, true, u"[ ] Dolvo\n[x] Trevanto\n[ ] Kivo\n[ ] KIVO Term.WIFI\n"_s},
                          Case{false, false, kDefault}}) {
        QFile::remove(home + u"/AggiornaDV/AggiornaDV.ini"_s);
        QFile::remove(etc + u"/AggiornaDV/AggiornaDV.ini"_s);
        if (c.userFile)
            writeIni(home + u"/AggiornaDV/AggiornaDV.ini"_s,
                     u"root = %1\n"_s.arg(QString::fromStdString(userRoot.string())));
        if (c.systemFile)
            writeIni(etc + u"/AggiornaDV/AggiornaDV.ini"_s,
                     u"root = %1\n"_s.arg(QString::fromStdString(systemRoot.string())));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_CONFIG_HOME"_s, home);
        env.insert(u"XDG_CONFIG_DIRS"_s, etc);
        const Outcome r = runUpdater({u"--sweep"_s}, env);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_EQ(r.out, c.expected);
    }
}

// --update: the exit status tells a script what happened.
TEST(CommandLine, UpdateExitStatusTellsWhatHappened)
{
    SKIP_IF_FOREIGN_PRODUCTS_RUN();
    enum class Setup { Normal, NotInstalled, NoFolder, NoRemoteFile, NothingListening, ReadOnlyFolder };
    struct Case {
        const char* label;
        Setup setup;
        int status;
        int lines;  // status lines after the four product rows
    };
    const bool root = ::geteuid() == 0;
    for (const Case& c : {Case{"updated", Setup::Normal, 0, 4}, Case{"noServer", Setup::NothingListening, 2, 2},
                          Case{"noFolder", Setup::NoFolder, 3, 3}, Case{"notInstalled", Setup::NotInstalled, 4, 3},
                          Case{"noRemoteFile", Setup::NoRemoteFile, 5, 4},
                          Case{"readOnlyFolder", Setup::ReadOnlyFolder, 5, 4}}) {
        SCOPED_TRACE(c.label);
        adv::test::TempDir dir;
        const fs::path drive = fs::path(dir.path()) / "drive_c";
        const fs::path served = fs::path(dir.path()) / "ftp";
        fs::create_directories(drive);
        fs::create_directories(served / (c.setup == Setup::NoFolder ? "www.zorvanik.it" : "www.zorvanik.it/download"));
        if (c.setup != Setup::NoRemoteFile && c.setup != Setup::NoFolder)
            std::ofstream(served / "www.zorvanik.it/download/dolvo.exe") << "MZ nuova versione";
        const fs::path installed = drive / "dolvo/dolvo.exe";
        if (c.setup != Setup::NotInstalled)
            touch(installed);

        adv::test::FtpServerOptions options;
        options.root = QString::fromStdString(served.string());
        adv::test::FtpServer server(options);
        const quint16 port = c.setup == Setup::NothingListening ? adv::test::unusedLoopbackPort() : server.port();
        const QString ini = writeIni(QString::fromStdString(dir.file("AggiornaDV.ini")),
                                     u"root = %1\nhost = 127.0.0.1\nport = %2\nuser = operatore\n"
                                     u"password = prova-segreta\nconnect_timeout_s = 3\nstall_timeout_s = 3\n"_s
                                         .arg(QString::fromStdString(drive.string()))
                                         .arg(port));

        QStringList command{u"--update"_s, u"--config"_s, ini};
        QString program = QStringLiteral(ADV_BINARY);
        if (c.setup == Setup::ReadOnlyFolder) {
            if (root) {
                // Permission bits do not stop root: run the updater as nobody,
                // who may read everything here but write nothing.
                fs::permissions(dir.path(), fs::perms(0755));
                fs::permissions(ini.toStdString(), fs::perms(0644));
                command = QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, program} + command;
                program = u"setpriv"_s;
            } else {
                fs::permissions(installed.parent_path(), fs::perms(0555));
            }
        }
        QProcess p;
        p.start(program, command);
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromUtf8(p.readAllStandardError());
        if (c.setup == Setup::ReadOnlyFolder && !root)
            fs::permissions(installed.parent_path(), fs::perms(0755));

        EXPECT_EQ(p.exitCode(), c.status) << out.toStdString() << err.toStdString();
        const QStringList lines = out.split(u'\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), 4 + c.lines) << out.toStdString();
        EXPECT_EQ(lines[0], c.setup == Setup::NotInstalled ? u"[ ] Dolvo"_s : u"[x] Dolvo"_s);
        for (qsizetype i = 4; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].startsWith(u"- "_s)) << lines[i].toStdString();
        EXPECT_EQ(lines[4], u"- Collegamento al sito ZORVANIK"_s);
        EXPECT_FALSE(out.contains(u"prova-segreta"_s) || err.contains(u"prova-segreta"_s))
            << "the password was printed";

        std::ifstream f(installed);
        const std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (c.setup == Setup::NotInstalled)
            EXPECT_FALSE(fs::exists(installed.parent_path()));
        else
            EXPECT_EQ(content, c.status == 0 ? "MZ nuova versione" : "MZ");
    }
}

}  // namespace
