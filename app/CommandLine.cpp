#include "app/CommandLine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/window/AggiornaDolvo.h"
#include "app/window/WindowProcess.h"
#include "app/core/Config.h"
#include "app/core/ProductTable.h"
#include "app/core/StartupSweep.h"
#include "app/core/UpdateCommand.h"
#include "app/core/ProcessTerminator.h"
#include "app/core/ConsoleUi.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

const QString kUsage = u"Uso: AggiornaDV [--config FILE] [--sweep | --update | --rollback] [--help] [--version]"_s;

const QString kHelp =
    u"Uso: AggiornaDV [opzioni]\n"
    u"Aggiorna i programmi ZORVANIK: chiude i programmi installati e scarica la nuova versione.\n"
    u"\n"
    u"Opzioni:\n"
    u"  --config FILE  Legge la configurazione da FILE.\n"
    u"  --sweep        Senza finestra: rileva i prodotti installati, chiude i loro programmi ed esce.\n"
    u"  --update       Senza finestra e senza domanda: come --sweep, poi aggiorna il programma.\n"
    u"  --rollback     Senza finestra: come --sweep, poi rimette la versione del programma che l'ultimo\n"
    u"                 aggiornamento ha sostituito (una seconda volta torna alla più recente).\n"
    u"  -h, --help     Mostra questo aiuto.\n"
    u"  -v, --version  Mostra la versione.\n"
    u"\n"
    u"Senza opzioni apre la finestra \"Aggiornamento Software\"."_s;

class ConsoleCheckBox final : public CheckBox {
public:
    short value() const override { return value_; }
    void setValue(short value) override { value_ = value; }

private:
    short value_ = 0;
};

const QString kNotVerified =
    u"AggiornaDV: attenzione: il programma scaricato non viene verificato. Per installare solo i programmi firmati "
    u"dal produttore, scrivere la sua chiave pubblica minisign (la riga \"RW...\" di minisign.pub) come public_key "
    u"nella configurazione."_s;

enum class ConsoleJob { Sweep, Update, RollBack };

int runConsole(const Config& config, ConsoleJob job)
{
    // An interrupt stops an update cleanly; one that comes during the sweep
    // lets the sweep end, and the update then stops at its first wait on the
    // server.
    ConsoleUi ui;
    std::array<ConsoleCheckBox, 4> boxes;
    ProcessTerminator terminator(config.closeGrace);
    const std::vector<LeftRunning> left =
        StartupSweep(config.root, {&boxes[0], &boxes[1], &boxes[2], &boxes[3]}, terminator);
    for (const QString& line : notClosedLines(left))
        printLine(stderr, u"AggiornaDV: "_s + line);
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        const auto caption =
            QString::fromUtf8(kProducts[i].caption.data(), static_cast<qsizetype>(kProducts[i].caption.size()));
        printLine(stdout, (boxes[i].value() == 1 ? u"[x] "_s : u"[ ] "_s) + caption);
    }
    if (job == ConsoleJob::Sweep)
        return code(ExitStatus::Updated);
    UpdateReport report;
    if (job == ConsoleJob::RollBack) {
        report = RollBackCommand(ui, config, left);
    } else {
        if (!config.publicKey)
            printLine(stderr, kNotVerified);
        auto ftp = platform::makeCurlFtpClient(config.ftp);
        report = UpdateCommand(ui, *ftp, config, /*confirmed=*/true, left);
    }
    if (!report.reason.empty())
        printLine(stderr, u"AggiornaDV: "_s + shownValue(report.reason));
    return code(exitStatus(report.outcome));
}

// Qt ends the program (abort) when it finds no screen to show a window on;
// nothing has been closed yet at that point, and the operator is told what
// to do instead.
bool makingTheApplication = false;
QtMessageHandler qtHandler = nullptr;

void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtFatalMsg && makingTheApplication) {
        printLine(stderr, u"AggiornaDV: nessuno schermo su cui aprire la finestra (%1). Usare --update o --sweep, "
                          u"oppure avviare AggiornaDV in una sessione grafica (DISPLAY o WAYLAND_DISPLAY)."_s.arg(
                              message.section(u'\n', 0, 0)));
        std::_Exit(code(ExitStatus::NoDisplay));
    }
    if (qtHandler != nullptr)
        qtHandler(type, context, message);
}

int runWindow(int& argc, char** argv, const Config& config)
{
    qtHandler = qInstallMessageHandler(&onQtMessage);
    makingTheApplication = true;
    QApplication app(argc, argv);
    makingTheApplication = false;
    prepareWindowProcess();
    ProcessTerminator terminator(config.closeGrace);
    auto ftp = platform::makeCurlFtpClient(config.ftp);
    AggiornaDolvo window(config, *ftp, terminator);
    window.load();
    window.show();
    return app.exec();
}

}  // namespace

int runCommandLine(int argc, char** argv, std::string_view builtInKey)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    QCoreApplication::setApplicationName(u"AggiornaDV"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(ADV_VERSION));

    QCommandLineParser parser;
    const QCommandLineOption configOption(u"config"_s, QString(), u"FILE"_s);
    const QCommandLineOption sweepOption(u"sweep"_s);
    const QCommandLineOption updateOption(u"update"_s);
    const QCommandLineOption rollBackOption(u"rollback"_s);
    const QCommandLineOption helpOption(QStringList{u"h"_s, u"help"_s});
    const QCommandLineOption versionOption(QStringList{u"v"_s, u"version"_s});
    for (const QCommandLineOption* option :
         {&configOption, &sweepOption, &updateOption, &rollBackOption, &helpOption, &versionOption})
        parser.addOption(*option);

    // Qt's own messages are English; the operator reads Italian.
    if (!parser.parse(args) || !parser.positionalArguments().isEmpty()) {
        QString why;
        if (!parser.unknownOptionNames().isEmpty())
            why = u"opzione sconosciuta: %1"_s.arg(parser.unknownOptionNames().first());
        else if (!parser.positionalArguments().isEmpty())
            why = u"argomento inatteso: %1"_s.arg(parser.positionalArguments().join(u' '));
        else
            why = u"manca il valore di --config"_s;
        printLine(stderr, u"AggiornaDV: "_s + why);
        printLine(stderr, kUsage);
        return code(ExitStatus::Usage);
    }
    if (parser.isSet(helpOption)) {
        printLine(stdout, kHelp);
        return code(ExitStatus::Updated);
    }
    if (parser.isSet(versionOption)) {
        printLine(stdout, u"AggiornaDV "_s + QStringLiteral(ADV_VERSION));
        return code(ExitStatus::Updated);
    }
    if (int(parser.isSet(sweepOption)) + int(parser.isSet(updateOption)) + int(parser.isSet(rollBackOption)) > 1) {
        printLine(stderr, u"AggiornaDV: --sweep, --update e --rollback non vanno insieme"_s);
        return code(ExitStatus::Usage);
    }
    if (parser.isSet(configOption) && parser.value(configOption).isEmpty()) {
        printLine(stderr, u"AggiornaDV: --config: manca il nome del file di configurazione"_s);
        return code(ExitStatus::Config);
    }

    ConfigResult loaded = loadConfig(parser.value(configOption));
    if (!loaded.warning.isEmpty())
        printLine(stderr, u"AggiornaDV: "_s + loaded.warning);
    if (loaded.config) {
        if (const QString refused = adoptBuiltInKey(*loaded.config, builtInKey); !refused.isEmpty()) {
            loaded.config.reset();
            loaded.error = refused;
        }
    }
    if (!loaded.config) {
        printLine(stderr, u"AggiornaDV: "_s + loaded.error);
        return code(ExitStatus::Config);
    }

    if (parser.isSet(sweepOption))
        return runConsole(*loaded.config, ConsoleJob::Sweep);
    if (parser.isSet(updateOption))
        return runConsole(*loaded.config, ConsoleJob::Update);
    if (parser.isSet(rollBackOption))
        return runConsole(*loaded.config, ConsoleJob::RollBack);
    return runWindow(argc, argv, *loaded.config);
}

}  // namespace adv
