#include "app/CommandLine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <memory>

#include "app/AggiornaDolvo.h"
#include "app/Config.h"
#include "app/ProductTable.h"
#include "app/StartupSweep.h"
#include "app/UpdateCommand.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

void print(std::FILE* to, const QString& line)
{
    std::fputs(line.toUtf8().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

class ConsoleCheckBox final : public CheckBox {
public:
    short value() const override { return value_; }
    void setValue(short value) override { value_ = value; }

private:
    short value_ = 0;
};

// Without a window the log goes to stdout, line by line, as the window's
// log would show it.
class ConsoleUi final : public UpdateUi {
public:
    explicit ConsoleUi(const Config& config) : drive_(QString::fromStdString(config.root.string())) {}
    void setPointer(Pointer) override {}
    bool askYesNo(const QString&, const QString&) override { return true; }
    QString driveText() const override { return drive_; }
    void showBusyLabel() override {}
    void AppendStatus(const QString& message) override { print(stdout, u"- "_s + message); }
    void downloadProgress(std::int64_t, std::int64_t) override {}

private:
    QString drive_;
};

int runConsole(const Config& config, bool update)
{
    std::array<ConsoleCheckBox, 4> boxes;
    ProcessTerminator terminator(config.closeGrace);
    StartupSweep(config.root, {&boxes[0], &boxes[1], &boxes[2], &boxes[3]}, terminator);
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        const auto caption = QString::fromUtf8(kProducts[i].caption.data(),
                                               static_cast<qsizetype>(kProducts[i].caption.size()));
        print(stdout, (boxes[i].value() == 1 ? u"[x] "_s : u"[ ] "_s) + caption);
    }
    if (!update)
        return 0;

    ConsoleUi ui(config);
    auto ftp = platform::makeCurlFtpSession(config.ftp);
    const UpdateOutcome outcome = UpdateCommand(ui, *ftp, config, /*confirmed=*/true);
    if (outcome != UpdateOutcome::Updated && !ftp->errorText().empty())
        print(stderr, u"AggiornaDV: "_s + QString::fromStdString(ftp->errorText()));
    return exitStatus(outcome);
}

int runWindow(int& argc, char** argv, const Config& config)
{
    QApplication app(argc, argv);
    installItalianQtTranslations();
    ProcessTerminator terminator(config.closeGrace);
    auto ftp = platform::makeCurlFtpSession(config.ftp);
    AggiornaDolvo window(config, *ftp, terminator);
    window.load();
    window.show();
    return app.exec();
}

}  // namespace

int runAggiornaDV(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    QCoreApplication::setApplicationName(u"AggiornaDV"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(ADV_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Aggiorna i programmi ZORVANIK: chiude i programmi installati e scarica la nuova versione."_s);
    const QCommandLineOption configOption(u"config"_s, u"Legge la configurazione da FILE."_s, u"FILE"_s);
    const QCommandLineOption sweepOption(
        u"sweep"_s, u"Senza finestra: rileva i prodotti installati, chiude i loro programmi ed esce."_s);
    const QCommandLineOption updateOption(
        u"update"_s, u"Senza finestra e senza domanda: come --sweep, poi aggiorna il programma."_s);
    parser.addOption(configOption);
    parser.addOption(sweepOption);
    parser.addOption(updateOption);
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();

    if (!parser.parse(args) || !parser.positionalArguments().isEmpty()) {
        const QString why = parser.errorText().isEmpty()
                                ? u"argomento inatteso: %1"_s.arg(parser.positionalArguments().join(u' '))
                                : parser.errorText();
        print(stderr, u"AggiornaDV: "_s + why);
        print(stderr, u"Uso: AggiornaDV [--config FILE] [--sweep | --update] [--help] [--version]"_s);
        return kExitUsage;
    }
    if (parser.isSet(helpOption)) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(versionOption)) {
        print(stdout, u"AggiornaDV "_s + QStringLiteral(ADV_VERSION));
        return 0;
    }
    if (parser.isSet(sweepOption) && parser.isSet(updateOption)) {
        print(stderr, u"AggiornaDV: --sweep e --update non vanno insieme"_s);
        return kExitUsage;
    }

    const ConfigResult loaded = loadConfig(parser.value(configOption));
    if (!loaded.warning.isEmpty())
        print(stderr, u"AggiornaDV: "_s + loaded.warning);
    if (!loaded.config) {
        print(stderr, u"AggiornaDV: "_s + loaded.error);
        return kExitConfig;
    }

    if (parser.isSet(sweepOption) || parser.isSet(updateOption))
        return runConsole(*loaded.config, parser.isSet(updateOption));
    return runWindow(argc, argv, *loaded.config);
}

}  // namespace adv
