// The program end to end, as an operator or a script runs it: real files,
// real children under the products' names, the real executable.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QThread>
#include <QTime>

#include <csignal>
#include <cstring>
#include <memory>

#include <filesystem>
#include <fstream>

#include "app/core/ProductTable.h"
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
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
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
    std::vector<std::string_view> names{adv::kAlwaysClosed};
    for (const auto& product : adv::kProducts)
        names.insert(names.end(), product.executables.begin(), product.executables.end());
    const adv::platform::ProcessWalk walk = adv::platform::openProcessesNamed(names);
    return walk.processes.empty() ? std::string() : std::string(names[walk.processes.front().name()]);
}

#define SKIP_IF_FOREIGN_PRODUCTS_RUN()                                                                                 \
    if (const std::string who = foreignProductProcess(); !who.empty())                                                 \
    GTEST_SKIP() << "a process named " << who                                                                          \
                 << " that this test did not start is running; "                                                       \
                    "the sweep would close it"

// What the command line alone ends with goes where scripts look for it.
TEST(CommandLine, VersionAndUsage)
{
    const Outcome version = runUpdater({u"--version"_s});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, u"AggiornaDV 1.0.0.11\n"_s);

    const Outcome bogus = runUpdater({u"--bogus"_s});
    EXPECT_EQ(bogus.status, 64);
    EXPECT_TRUE(bogus.out.isEmpty());
    EXPECT_TRUE(bogus.err.startsWith(u"AggiornaDV: opzione sconosciuta: bogus\nUso: AggiornaDV [--config FILE]"_s))
        << bogus.err.toStdString();
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
    for (const Case& c :
         {Case{u"close_grace_s = -2\n"_s, u"close_grace_s"_s}, Case{u"root = /nonexistent/aggiornadv\n"_s, u"root"_s},
          Case{u"tls = forse\n"_s, u"tls"_s}, Case{u"password = abc\\\n  tls = explicit\nuser = \"x\n"_s, u"user"_s},
          Case{u"host = a.example.it\nhost = b.example.it\n"_s, u"host"_s},
          Case{u"host = ftp.example.it/../x\n"_s, u"host"_s}, Case{u"user = a\u0007b\n"_s, u"\\x07"_s}}) {
        const QString ini = writeIni(QString::fromStdString(dir.file("bad.ini")), c.text);
        const Outcome r = runUpdater({u"--sweep"_s, u"--config"_s, ini});
        EXPECT_EQ(r.status, 78) << c.text.toStdString();
        EXPECT_TRUE(r.err.contains(ini) && r.err.contains(c.key)) << r.err.toStdString();
        EXPECT_EQ(r.err.count(u'\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    const Outcome missing = runUpdater({u"--sweep"_s, u"--config"_s, QString::fromStdString(dir.file("none.ini"))});
    EXPECT_EQ(missing.status, 78);

    // A file that others may change could make the updater install anything.
    const QString shared = writeIni(QString::fromStdString(dir.file("shared.ini")), u"user = x\n"_s);
    QFile::setPermissions(shared, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::WriteOther);
    const Outcome writable = runUpdater({u"--sweep"_s, u"--config"_s, shared});
    EXPECT_EQ(writable.status, 78);
    EXPECT_TRUE(writable.err.contains(u"altri utenti"_s)) << writable.err.toStdString();

    // Without a screen the window cannot open: said plainly, and before the sweep.
    QProcessEnvironment headless = QProcessEnvironment::systemEnvironment();
    for (const QString& name : {u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s})
        headless.remove(name);
    const Outcome noScreen = runUpdater({}, headless);
    EXPECT_EQ(noScreen.status, 69) << noScreen.err.toStdString();
    EXPECT_TRUE(noScreen.err.contains(u"--update"_s)) << noScreen.err.toStdString();

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

// --update's lines and status, wired through the program; each outcome's
// status is the core suite's decision table.
TEST(CommandLine, UpdateExitStatusTellsWhatHappened)
{
    SKIP_IF_FOREIGN_PRODUCTS_RUN();
    enum class Setup { Normal, NotInstalled, NothingListening };
    struct Case {
        const char* label;
        Setup setup;
        int status;
        int lines;  // status lines after the four product rows
    };
    for (const Case& c : {Case{"updated", Setup::Normal, 0, 4}, Case{"noServer", Setup::NothingListening, 2, 2},
                          Case{"notInstalled", Setup::NotInstalled, 4, 3}}) {
        SCOPED_TRACE(c.label);
        adv::test::TempDir dir;
        const fs::path drive = fs::path(dir.path()) / "drive_c";
        const fs::path served = fs::path(dir.path()) / "ftp";
        fs::create_directories(drive);
        fs::create_directories(served / "www.zorvanik.it/download");
        std::ofstream(served / "www.zorvanik.it/download/dolvo.exe") << "MZ nuova versione";
        const fs::path installed = drive / "dolvo/dolvo.exe";
        if (c.setup != Setup::NotInstalled)
            touch(installed);

        adv::test::FtpServerOptions options;
        options.root = QString::fromStdString(served.string());
        adv::test::FtpServer server(options);
        const quint16 port = c.setup == Setup::NothingListening ? adv::test::unusedLoopbackPort() : server.port();
        const QString ini =
            writeIni(QString::fromStdString(dir.file("AggiornaDV.ini")),
                     u"root = %1\nhost = 127.0.0.1\nport = %2\nuser = operatore\nretry = 0\nreport = false\n"
                     u"password = prova-segreta\nconnect_timeout_s = 3\nstall_timeout_s = 3\n"_s
                         .arg(QString::fromStdString(drive.string()))
                         .arg(port));

        QProcess p;
        p.start(QStringLiteral(ADV_BINARY), {u"--update"_s, u"--config"_s, ini});
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromUtf8(p.readAllStandardError());

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

// A drive with Dolvo installed and a server offering a new dolvo.exe.
struct UpdateStage {
    adv::test::TempDir dir;
    fs::path drive = fs::path(dir.path()) / "drive_c";
    fs::path served = fs::path(dir.path()) / "ftp";
    fs::path installed = drive / "dolvo/dolvo.exe";
    std::unique_ptr<adv::test::FtpServer> server;
    QString ini;

    explicit UpdateStage(adv::test::FtpFault fault = adv::test::FtpFault::None)
    {
        fs::create_directories(served / "www.zorvanik.it/download");
        std::ofstream(served / "www.zorvanik.it/download/dolvo.exe") << std::string(200000, 'N');
        touch(installed);
        adv::test::FtpServerOptions options;
        options.root = QString::fromStdString(served.string());
        options.fault = fault;
        server = std::make_unique<adv::test::FtpServer>(options);
        ini = writeIni(QString::fromStdString(dir.file("AggiornaDV.ini")),
                       u"root = %1\nhost = 127.0.0.1\nport = %2\nuser = operatore\nreport = false\n"
                       u"password = prova-segreta\nconnect_timeout_s = 3\nstall_timeout_s = 30\n"_s
                           .arg(QString::fromStdString(drive.string()))
                           .arg(server->port()));
    }
    std::string installedContent() const
    {
        std::ifstream f(installed);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> dolvoFolder() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(installed.parent_path()))
            names.push_back(entry.path().filename().string());
        return names;
    }
};

QString withLog(const QString& ini, const QString& log, const QString& password = u"prova-segreta"_s)
{
    QFile f(ini);
    f.open(QIODevice::ReadOnly);
    const QString text = QString::fromUtf8(f.readAll()).replace(u"prova-segreta"_s, password);
    return writeIni(ini + (password == u"prova-segreta"_s ? u".logged"_s : u".refused"_s),
                    text + u"log_file = "_s + log + u'\n');
}

// One log for a good update, a refused login and a killed run; one that
// cannot be written stops nothing.
TEST(CommandLine, TheLogFileKeepsWhatEachRunDidAndNeverThePassword)
{
    SKIP_IF_FOREIGN_PRODUCTS_RUN();
    UpdateStage stage;
    UpdateStage stalled(adv::test::FtpFault::StallData);
    const QString log = QString::fromStdString(stage.dir.file("registro/AggiornaDV.log"));
    EXPECT_EQ(runUpdater({u"--update"_s, u"--config"_s, withLog(stage.ini, log)}).status, 0);
    const Outcome refused = runUpdater({u"--update"_s, u"--config"_s, withLog(stage.ini, log, u"sbagliata"_s)});
    EXPECT_EQ(refused.status, 2);
    // The operator's Italian on stderr; the server's own words in the log, for IT.
    EXPECT_TRUE(refused.err.contains(u"AggiornaDV: il server ha rifiutato l'accesso: nome utente o password non "
                                     u"accettati\n"_s))
        << refused.err.toStdString();
    QProcess killed;
    killed.start(QStringLiteral(ADV_BINARY), {u"--update"_s, u"--config"_s, withLog(stalled.ini, log)});
    const auto logText = [&log] {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    QElapsedTimer waited;
    waited.start();
    while (!logText().endsWith(u"- Inizio download programma \n"_s) && waited.elapsed() < 20000)
        QThread::msleep(20);
    ::kill(static_cast<pid_t>(killed.processId()), SIGKILL);
    killed.waitForFinished();

    const QString text = logText();
    for (const QString& expected : {u"AggiornaDV 1.0.0.11, --update; configurazione letta da "_s + stage.ini,
                                    u"] - Il programma è stato aggiornato"_s, u"] Installata: versione non firmata\n"_s,
                                    u"] Stato di uscita: 0\n"_s, u"accettati (dettaglio: risposta del server: \"530 "_s,
                                    u"] Stato di uscita: 2\n"_s})
        EXPECT_TRUE(text.contains(expected)) << expected.toStdString() << "\n" << text.toStdString();
    EXPECT_TRUE(text.endsWith(u"] - Inizio download programma \n"_s)) << "what the killed run had done";
    EXPECT_FALSE(text.contains(u"prova-segreta"_s) || text.contains(u"sbagliata"_s)) << "a password in the log";

    const Outcome unwritable =
        runUpdater({u"--update"_s, u"--config"_s, withLog(stage.ini, u"/proc/nessuna/AggiornaDV.log"_s)});
    EXPECT_EQ(unwritable.status, 0);
    EXPECT_EQ(unwritable.err.count(u"registro non scritto"_s), 1) << unwritable.err.toStdString();
}

// An interrupt during the download stops it at once and cleanly.
TEST(CommandLine, UpdateStopsCleanlyOnInterrupt)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(::strsignal(signal));
        UpdateStage stage(adv::test::FtpFault::Drip);
        QProcess p;
        p.start(QStringLiteral(ADV_BINARY), {u"--update"_s, u"--config"_s, stage.ini});
        QString out;
        while (!out.contains(u"Inizio download"_s) && p.waitForReadyRead(10000))
            out += QString::fromUtf8(p.readAllStandardOutput());
        ASSERT_TRUE(out.contains(u"Inizio download"_s)) << out.toStdString();
        QThread::msleep(300);  // well into the transfer
        QElapsedTimer clock;
        clock.start();
        ::kill(static_cast<pid_t>(p.processId()), signal);
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_LT(clock.elapsed(), 2000);
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 5);
        out += QString::fromUtf8(p.readAllStandardOutput());
        EXPECT_TRUE(out.contains(u"- Aggiornamento interrotto"_s)) << out.toStdString();
        EXPECT_EQ(stage.installedContent(), "MZ");
        EXPECT_EQ(stage.dolvoFolder(), std::vector<std::string>{"dolvo.exe"}) << "temporary or lock file left";
    }
}

// A reader that goes away early does not stop the update.
TEST(CommandLine, UpdateGoesOnWhenTheReaderOfItsOutputLeaves)
{
    UpdateStage stage;
    QProcess p;
    p.start(u"/bin/bash"_s,
            {u"-c"_s, u"\"$0\" --update --config \"$1\" | head -n 1; echo \"status=${PIPESTATUS[0]}\" >&2"_s,
             QStringLiteral(ADV_BINARY), stage.ini});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(QString::fromUtf8(p.readAllStandardOutput()), u"[x] Dolvo\n"_s);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_TRUE(err.endsWith(u"status=0\n"_s)) << "the updater's own status: " << err.toStdString();
    EXPECT_EQ(stage.installedContent(), std::string(200000, 'N'));
}

// What the sweep could not close is named on stderr. An updater run as
// "nobody" may not close a program of root's.
// A dolvo.exe that does not run the installed file lets the update go on,
// and the server's program is installed.
TEST(CommandLine, ProgramsThatCouldNotBeClosedAreReportedAndAnotherDolvoDoesNotStopTheUpdate)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to start a program that an unprivileged updater may not close";
    adv::test::TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const std::string bin = dir.file("bin");
    fs::create_directories(bin);
    fs::permissions(bin, fs::perms(0755));
    adv::test::Child always = adv::test::spawnNamed(bin, "Vudarav.exe");
    adv::test::Child dolvo = adv::test::spawnNamed(bin, "dolvo.exe");
    fs::create_directories(dir.file("dolvo"));
    std::ofstream(dir.file("dolvo/dolvo.exe")) << "MZ";
    ASSERT_EQ(::chown(dir.file("dolvo").c_str(), 65534, 65534), 0);
    fs::create_directories(dir.file("ftp/www.zorvanik.it/download"));
    std::ofstream(dir.file("ftp/www.zorvanik.it/download/dolvo.exe")) << "MZ nuova versione";
    adv::test::FtpServerOptions options;
    options.root = QString::fromStdString(dir.file("ftp"));
    const adv::test::FtpServer server(options);
    const QString ini = writeIni(QString::fromStdString(dir.file("AggiornaDV.ini")),
                                 u"root = %1\nclose_grace_s = 0\nhost = 127.0.0.1\nport = %2\nretry = 0\n"
                                 u"user = operatore\npassword = prova-segreta\n"_s.arg(
                                     QString::fromStdString(dir.path()), QString::number(server.port())));
    fs::permissions(ini.toStdString(), fs::perms(0644));

    QProcess p;
    p.start(u"setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, QStringLiteral(ADV_BINARY),
                           u"--update"_s, u"--config"_s, ini});
    ASSERT_TRUE(p.waitForFinished(30000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 0) << err.toStdString();
    QProcess sweep;  // --sweep alone says so in its status
    sweep.start(u"setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, QStringLiteral(ADV_BINARY),
                               u"--sweep"_s, u"--config"_s, ini});
    EXPECT_TRUE(sweep.waitForFinished(30000) && sweep.exitCode() == 22) << sweep.exitCode();
    for (const auto& [name, pid] : {std::pair{u"dolvo.exe"_s, dolvo.pid()}, std::pair{u"Vudarav.exe"_s, always.pid()}})
        EXPECT_TRUE(err.contains(u"%1 non si è potuto chiudere (processo %2): mancano i permessi per chiuderlo"_s.arg(
            name, QString::number(pid))))
            << err.toStdString();
    EXPECT_FALSE(out.contains(u"ancora in esecuzione"_s)) << out.toStdString();
    EXPECT_TRUE(always.running() && dolvo.running());

    // One that runs the installed file stops it (11), and is named once:
    // seen (CAP_SYS_PTRACE reads what it maps), not closed (no CAP_KILL).
    fs::remove(dir.file("dolvo/dolvo.exe"));
    adv::test::Child installed = adv::test::spawnNamed(dir.file("dolvo"), "dolvo.exe");
    p.start(u"setpriv"_s,
            {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, u"--inh-caps=+sys_ptrace"_s,
             u"--ambient-caps=+sys_ptrace"_s, QStringLiteral(ADV_BINARY), u"--update"_s, u"--config"_s, ini});
    ASSERT_TRUE(p.waitForFinished(30000));
    const QString again = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 11) << again.toStdString();
    EXPECT_EQ(again.count(u"dolvo.exe non si è potuto chiudere"_s), 1) << again.toStdString();
}

// A watchdog that starts dolvo.exe again as soon as it ends: the update
// stops (11) rather than leave a program running a replaced, deleted file.
TEST(CommandLine, AProgramStartedAgainAfterTheClosingStopsTheSwap)
{
    SKIP_IF_FOREIGN_PRODUCTS_RUN();
    UpdateStage stage;
    fs::remove(stage.installed);
    const std::string program =
        adv::test::installAs(adv::test::childProgram(), stage.installed.parent_path(), "dolvo.exe");
    const std::string loop = adv::test::writeExecutable(
        stage.dir.path(), "watchdog", "#!/bin/sh\nprintf R >&3\nexec 3>&-\nwhile :; do \"$1\" --life 60; done\n");
    adv::test::Child watchdog = adv::test::spawn({.program = loop, .args = {program}, .argv0 = {}});
    const std::string before = stage.installedContent();
    const Outcome run = runUpdater({u"--update"_s, u"--config"_s, stage.ini});
    // Stopped (11, nothing touched), unless the watchdog was slower than the swap.
    EXPECT_TRUE(run.status == 11 || run.status == 0) << run.out.toStdString() << run.err.toStdString();
    EXPECT_EQ(stage.installedContent() == before, run.status == 11);
    // Whatever runs under that name runs the installed file, that very one.
    struct stat installed {};
    ASSERT_EQ(::stat(program.c_str(), &installed), 0);
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        struct stat running {};
        if (fs::read_symlink(entry.path() / "exe", error).string().starts_with(program) &&
            ::stat((entry.path() / "exe").c_str(), &running) == 0) {
            EXPECT_EQ(running.st_ino, installed.st_ino) << entry.path();
        }
    }
    watchdog.kill();
}

// Held back inside the working hours, or stopped during its random wait, a
// nightly --update closes nothing (nor fails with 2 at port 1).
TEST(CommandLine, UpdateHeldBackBeforeItsSweepClosesNothing)
{
    SKIP_IF_FOREIGN_PRODUCTS_RUN();
    const QTime now = QTime::currentTime();
    const QString hours = now.addSecs(-3600).toString(u"HH:mm"_s) + u'-' + now.addSecs(3600).toString(u"HH:mm"_s);
    for (const auto& [keys, status, says] :
         {std::tuple{u"ore_lavoro = "_s + hours, 0,
                     u"Orario di lavoro (%1): nessun programma viene chiuso"_s.arg(hours)},
          std::tuple{u"random_delay_s = 86400"_s, 5, u" prima del collegamento\n"_s}}) {
        adv::test::TempDir dir;
        adv::test::Child always = adv::test::spawnNamed(dir.path(), "Vudarav.exe");
        touch(dir.file("dolvo/dolvo.exe"));
        QProcess p;
        p.setReadChannel(QProcess::StandardOutput);
        p.start(QStringLiteral(ADV_BINARY),
                {u"--update"_s, u"--config"_s,
                 writeIni(QString::fromStdString(dir.file("AggiornaDV.ini")),
                          u"root = %1\nclose_grace_s = 0\nhost = 127.0.0.1\nport = 1\n%2\n"_s.arg(
                              QString::fromStdString(dir.path()), keys))});
        QString out;  // the run's own lines are status lines, as the others
        while (!out.contains(says) && p.waitForReadyRead(10000))
            out += QString::fromUtf8(p.readAllStandardOutput());
        ASSERT_TRUE(out.contains(says)) << out.toStdString();
        if (out.contains(QRegularExpression(u"Attesa di \\d+ s "_s)))
            GTEST_SKIP() << "the random wait drew under a minute of a day (once in 1440 runs): it may end first";
        if (status != 0)
            ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        ASSERT_TRUE(p.waitForFinished(5000)) << "not at once";
        out += QString::fromUtf8(p.readAllStandardOutput());
        EXPECT_EQ(p.exitCode(), status) << out.toStdString();
        EXPECT_TRUE(always.running()) << "the sweep ran";
        EXPECT_FALSE(out.contains(u"] Dolvo"_s)) << "the sweep's rows were printed";
    }
}

}  // namespace
