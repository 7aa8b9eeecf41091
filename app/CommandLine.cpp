#include "app/CommandLine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QMessageBox>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "app/window/AggiornaDolvo.h"
#include "app/window/WindowProcess.h"
#include "app/core/Config.h"
#include "app/site/Pacing.h"
#include "app/core/Places.h"
#include "app/core/RunLog.h"
#include "app/core/ProductTable.h"
#include "app/site/StartupSweep.h"
#include "app/site/RollBackCommand.h"
#include "app/site/UpdateCommand.h"
#include "app/site/UpdateTexts.h"
#include "app/site/ProcessTerminator.h"
#include "app/maker/PublishCommand.h"
#include "app/core/ConsoleUi.h"
#include "platform/Arguments.h"
#include "platform/Terminal.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

const QString kUsage =
    u"Uso: AggiornaDV [--config FILE] [--sweep | --update | --rollback | --check] [--help] [--version]"_s;

QString exitStatuses()
{
    QString table;
    for (const ExitStatusMeaning& meaning : kExitStatuses)
        table += u"\n%1  %2"_s.arg(code(meaning.status), 4)
                     .arg(QString::fromUtf8(meaning.italian.data(), static_cast<qsizetype>(meaning.italian.size())));
    return table;
}

QString help()
{
    QStringList places;
    for (const QString& folder : configFolders())
        places << u"  "_s + QDir::toNativeSeparators(folder + u'/' + kConfigFileName);
    return u"Uso: AggiornaDV [opzioni]\n"
           u"Aggiorna i programmi ZORVANIK: chiude i programmi installati e scarica la nuova versione.\n"
           u"\n"
           u"Opzioni:\n"
           u"  --config FILE  Legge la configurazione da FILE.\n"
           u"  --sweep        Senza finestra: rileva i prodotti installati, chiude i loro programmi ed esce.\n"
           u"  --update       Senza finestra e senza domanda: come --sweep, poi aggiorna il programma.\n"
           u"  --rollback     Senza finestra: come --sweep, poi rimette la versione del programma che l'ultimo\n"
           u"                 aggiornamento ha sostituito (una seconda volta torna alla più recente).\n"
           u"  --check        Senza finestra: dice quale versione è installata, cosa offre il server e quando\n"
           u"                 tocca a questo computer; non chiude nulla e non installa nulla.\n"
           u"  --publish PROGRAMMA  Per il produttore: firma PROGRAMMA (signing_key), lo invia al server sotto un\n"
           u"                 nome nuovo, lo rilegge, e solo allora lo rende visibile ai siti.\n"
           u"  --signature FILE  Con --publish: la firma minisign di PROGRAMMA già fatta dal produttore.\n"
           u"  --rollout PIANO   Percentuale di siti e ritardo, es. 10@0h,50@24h,100@72h (predefinito 100),\n"
           u"                 o \"pausa\"; senza --publish cambia il piano della versione attuale.\n"
           u"  --withdraw     Per il produttore: ritira la versione attuale; i siti tornano alla precedente.\n"
           u"  --status       Per il produttore: cosa offre il server, ogni file controllato con public_key.\n"
           u"  -h, --help     Mostra questo aiuto.\n"
           u"  -v, --version  Mostra la versione.\n"
           u"\n"
           u"Senza opzioni apre la finestra \""_s +
           text::kWindowTitle +
           u"\".\n"
           u"\n"
           u"Senza --config, la configurazione è il primo di questi file che esiste (altrimenti valgono\n"
           u"i valori predefiniti):\n"_s +
           places.join(u'\n') + u"\n\nRegistro di ogni esecuzione (chiave log_file):\n  "_s +
           QDir::toNativeSeparators(runlog::defaultPath()) + u"\n\nStato di uscita:"_s + exitStatuses();
}

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

enum class ConsoleJob { Sweep, Update, RollBack, Check, Publish };

// A line about the run itself, beside the configuration's: on stderr, so
// that stdout keeps the products' rows and the status lines, and in the log.
void sayAboutTheRun(const QString& line)
{
    printLine(stderr, u"AggiornaDV: "_s + line);
    runlog::write(line);
}

// A nightly --update, before anything is closed or connected: inside the
// operators' working hours, now or when the random wait would end, it closes
// nothing and is put off to the next run; else the random wait spreads the
// sites over time, so that they do not all reach the server at once. The
// exit status when it goes no further.
std::optional<int> paceTheStart(UpdateUi& ui, const Config& config, Pacer& pacer)
{
    const std::chrono::seconds delay = pacer.random(config.randomDelay);
    const std::int64_t now = pacer.now();
    if (config.workingHours && (withinWorkingHours(*config.workingHours, pacer.minuteOfDay(now)) ||
                                withinWorkingHours(*config.workingHours, pacer.minuteOfDay(now + delay.count())))) {
        sayAboutTheRun(text::workingHoursNow(*config.workingHours));
        return code(ExitStatus::Success);
    }
    if (delay > std::chrono::seconds::zero()) {
        sayAboutTheRun(text::delayBeforeConnecting(delay));
        if (!pacer.wait(delay, [&ui] { return ui.stopRequested(); })) {
            sayAboutTheRun(text::kInterrupted);
            return code(exitStatus(UpdateOutcome::Interrupted));
        }
    }
    return std::nullopt;
}

int runConsole(const Config& config, ConsoleJob job)
{
    // An interrupt stops an update cleanly; one that comes during the sweep
    // lets the sweep end, and the update then stops at its first wait on the
    // server.
    ConsoleUi ui;
    const auto ended = [](const UpdateReport& report) {
        // A program left running was named by the sweep's own lines, just
        // before: each line is said once.
        if (!report.cause.isEmpty() && report.outcome != UpdateOutcome::ProgramRunning)
            printLine(stderr, u"AggiornaDV: "_s + report.cause.text);
        return code(exitStatus(report.outcome));
    };
    if (job == ConsoleJob::Check) {
        // It only looks: nothing is closed, and one attempt says how things stand.
        auto ftp = platform::makeCurlFtpClient(downloadOptions(config));
        return ended(UpdateCommand(ui, *ftp, config, {.mode = UpdateMode::Check}));
    }
    const std::unique_ptr<Pacer> pacer = systemPacer();
    if (job == ConsoleJob::Update) {
        if (const std::optional<int> status = paceTheStart(ui, config, *pacer))
            return *status;
    }
    std::array<ConsoleCheckBox, kProducts.size()> boxes;
    ProductCheckBoxes pointers;
    std::transform(boxes.begin(), boxes.end(), pointers.begin(), [](ConsoleCheckBox& box) { return &box; });
    ProcessTerminator terminator(config.closeGrace);
    const TerminateReport swept = StartupSweep(config.root, pointers, terminator);
    const std::vector<LeftRunning>& left = swept.left;
    for (const QString& line : sweepLines(swept))
        printLine(stderr, u"AggiornaDV: "_s + line);
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        const auto caption =
            QString::fromUtf8(kProducts[i].caption.data(), static_cast<qsizetype>(kProducts[i].caption.size()));
        printLine(stdout, (boxes[i].value() == 1 ? u"[x] "_s : u"[ ] "_s) + caption);
    }
    if (job == ConsoleJob::Sweep)
        return code(left.empty() ? ExitStatus::Success : ExitStatus::NotAllClosed);
    UpdateReport report;
    if (job == ConsoleJob::RollBack) {
        report = RollBackCommand(ui, *installSiteBelow(config.root), config, left);
    } else {
        if (!config.publicKey)
            printLine(stderr, kNotVerified);
        auto ftp = platform::makeCurlFtpClient(downloadOptions(config));
        report =
            UpdateCommand(ui, *ftp, config, {.mode = UpdateMode::Nightly, .leftRunning = left, .pacer = pacer.get()});
    }
    return ended(report);
}

// Qt ends the program (abort) when it finds no screen to show a window on;
// nothing has been closed yet at that point, and the operator is told, in
// words of ours alone, what to do instead. Qt's own warnings of the attempt
// are English and say nothing more.
bool makingTheApplication = false;
int statusWithoutScreen = code(ExitStatus::NoDisplay);
QtMessageHandler qtHandler = nullptr;

const QString kNoScreen = u"AggiornaDV: nessuno schermo su cui aprire la finestra. Usare --update o --sweep, oppure "
                          u"avviare AggiornaDV in una sessione grafica (DISPLAY o WAYLAND_DISPLAY)."_s;

void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (makingTheApplication) {
        if (type == QtFatalMsg) {
            if (statusWithoutScreen == code(ExitStatus::NoDisplay))
                printLine(stderr, kNoScreen);
            std::_Exit(statusWithoutScreen);
        }
        return;
    }
    if (qtHandler != nullptr)
        qtHandler(type, context, message);
}

std::unique_ptr<QApplication> makeApplication(int& argc, char** argv, int statusWithout)
{
    qtHandler = qInstallMessageHandler(&onQtMessage);
    statusWithoutScreen = statusWithout;
    makingTheApplication = true;
    auto app = std::make_unique<QApplication>(argc, argv);
    makingTheApplication = false;
    prepareWindowProcess();
    return app;
}

// Started for the window and unable to go on: said where a desktop's
// operator looks as well, then the same status.
int startupFailure(int& argc, char** argv, const QString& text, ExitStatus status)
{
    printLine(stderr, u"AggiornaDV: "_s + text);
    const auto app = makeApplication(argc, argv, code(status));
    QMessageBox box(QMessageBox::Critical, adv::text::kWindowTitle, text, QMessageBox::Ok);
    // To be copied for whoever will put it right.
    box.setTextFormat(Qt::PlainText);  // file names are anyone's words
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
    return code(status);
}

int runWindow(int& argc, char** argv, const Config& config)
{
    const auto app = makeApplication(argc, argv, code(ExitStatus::NoDisplay));
    ProcessTerminator terminator(config.closeGrace);
    auto ftp = platform::makeCurlFtpClient(downloadOptions(config));
    AggiornaDolvo window(config, *ftp, terminator);
    window.load();
    window.show();
    const int status = QApplication::exec();
    runlog::write(u"Finestra chiusa; stato di uscita: %1"_s.arg(status));
    return status;
}

// What the command line asks for: a job, or a status it already ends with
// (--help, --version, a mistake in it).
struct Request {
    std::optional<int> ended;
    std::optional<ConsoleJob> job;  // none: the window
    QString configFile;             // --config's value; empty: the usual places
    PublishRequest publish;
};

// The console of a publish: its lines, and how far each upload has gone,
// every tenth, on the terminal only.
class PublishConsole final : public UpdateUi {
public:
    void setPointer(Pointer) override {}
    bool askYesNo(const QString&, const QString&) override { return true; }
    void showBusyLabel() override {}
    void AppendStatus(const QString& message) override { lines_.AppendStatus(message); }
    void downloadProgress(std::int64_t sent, std::int64_t total) override
    {
        const std::int64_t tenth = total > 0 ? sent * 10 / total : -1;
        if (tenth > shown_) {
            shown_ = tenth;
            printLine(stderr, u"AggiornaDV:   inviato il %1%"_s.arg(tenth * 10));
        }
    }
    void downloadEnded() override { shown_ = 0; }
    bool stopRequested() override { return lines_.stopRequested(); }

private:
    ConsoleUi lines_;
    std::int64_t shown_ = 0;
};

// The maker's machine has no products to close: publishing skips the sweep.
int runPublish(const Config& config, const PublishRequest& request)
{
    PublishConsole console;
    runlog::LoggedUi ui(console);
    auto ftp = platform::makeCurlFtpPublishSession(config.ftp);
    const auto askPassword = [] { return platform::readSecret("Password della chiave segreta: "); };
    const PublishReport report =
        PublishCommand(ui, *ftp, config, request, askPassword, QDateTime::currentSecsSinceEpoch());
    if (!report.cause.isEmpty()) {
        printLine(stderr, u"AggiornaDV: "_s + report.cause.text);
        runlog::write(report.cause.logged());
    }
    return code(exitStatus(report.outcome));
}

Request readCommandLine(int argc, char** argv)
{
    QStringList args;
    for (const std::string& argument : platform::commandLineArguments(argc, argv))
        args << QString::fromStdString(argument);

    QCommandLineParser parser;
    const QCommandLineOption configOption(u"config"_s, QString(), u"FILE"_s);
    const QCommandLineOption sweepOption(u"sweep"_s);
    const QCommandLineOption updateOption(u"update"_s);
    const QCommandLineOption rollBackOption(u"rollback"_s);
    const QCommandLineOption checkOption(u"check"_s);
    const QCommandLineOption helpOption(QStringList{u"h"_s, u"help"_s});
    const QCommandLineOption versionOption(QStringList{u"v"_s, u"version"_s});
    const QCommandLineOption publishOption(u"publish"_s, QString(), u"PROGRAMMA"_s);
    const QCommandLineOption signatureOption(u"signature"_s, QString(), u"FILE"_s);
    const QCommandLineOption rolloutOption(u"rollout"_s, QString(), u"PIANO"_s);
    const QCommandLineOption withdrawOption(u"withdraw"_s);
    const QCommandLineOption statusOption(u"status"_s);
    for (const QCommandLineOption* option :
         {&configOption, &sweepOption, &updateOption, &rollBackOption, &checkOption, &helpOption, &versionOption,
          &publishOption, &signatureOption, &rolloutOption, &withdrawOption, &statusOption})
        parser.addOption(*option);

    // Qt's own messages are English; the operator reads Italian.
    if (!parser.parse(args) || !parser.positionalArguments().isEmpty()) {
        QString why;
        if (!parser.unknownOptionNames().isEmpty())
            why = u"opzione sconosciuta: %1"_s.arg(parser.unknownOptionNames().first());
        else if (!parser.positionalArguments().isEmpty())
            why = u"argomento inatteso: %1"_s.arg(parser.positionalArguments().join(u' '));
        else
            why = u"manca il valore di un'opzione"_s;
        printLine(stderr, u"AggiornaDV: "_s + why);
        printLine(stderr, kUsage);
        return {code(ExitStatus::Usage), {}, {}, {}};
    }
    if (parser.isSet(helpOption)) {
        printLine(stdout, help());
        return {code(ExitStatus::Success), {}, {}, {}};
    }
    if (parser.isSet(versionOption)) {
        printLine(stdout, u"AggiornaDV "_s + QStringLiteral(ADV_VERSION));
        return {code(ExitStatus::Success), {}, {}, {}};
    }
    // --rollout alone changes the current release's plan.
    const bool plan = parser.isSet(rolloutOption) && !parser.isSet(publishOption);
    if (int(parser.isSet(sweepOption)) + int(parser.isSet(updateOption)) + int(parser.isSet(rollBackOption)) +
            int(parser.isSet(checkOption)) + int(parser.isSet(publishOption)) + int(parser.isSet(withdrawOption)) +
            int(parser.isSet(statusOption)) + int(plan) >
        1) {
        printLine(stderr, u"AggiornaDV: --sweep, --update, --rollback, --check, --publish, --rollout, --withdraw e "
                          u"--status non vanno insieme"_s);
        return {code(ExitStatus::Usage), {}, {}, {}};
    }
    const std::optional<Rollout> rollout =
        Rollout::parse(parser.isSet(rolloutOption) ? parser.value(rolloutOption).toStdString() : "100");
    if (parser.isSet(signatureOption) && !parser.isSet(publishOption)) {
        printLine(stderr, u"AggiornaDV: --signature va solo con --publish"_s);
        return {code(ExitStatus::Usage), {}, {}, {}};
    }
    if (!rollout) {
        printLine(stderr, u"AggiornaDV: --rollout: piano non valido: \"%1\" (es. 10@0h,50@24h,100@72h, o pausa)"_s.arg(
                              shownValue(parser.value(rolloutOption).toStdString())));
        return {code(ExitStatus::Usage), {}, {}, {}};
    }
    if (parser.isSet(configOption) && parser.value(configOption).isEmpty()) {
        printLine(stderr, u"AggiornaDV: --config: manca il nome del file di configurazione"_s);
        return {code(ExitStatus::Config), {}, {}, {}};
    }
    Request request{std::nullopt,
                    std::nullopt,
                    parser.value(configOption),
                    {PublishAction::Release, parser.value(publishOption), parser.value(signatureOption), *rollout}};
    if (parser.isSet(sweepOption))
        request.job = ConsoleJob::Sweep;
    else if (parser.isSet(updateOption))
        request.job = ConsoleJob::Update;
    else if (parser.isSet(rollBackOption))
        request.job = ConsoleJob::RollBack;
    else if (parser.isSet(checkOption))
        request.job = ConsoleJob::Check;
    else if (parser.isSet(publishOption) || plan || parser.isSet(withdrawOption) || parser.isSet(statusOption))
        request.job = ConsoleJob::Publish;
    if (plan)
        request.publish.action = PublishAction::ChangeRollout;
    else if (parser.isSet(withdrawOption))
        request.publish.action = PublishAction::Withdraw;
    else if (parser.isSet(statusOption))
        request.publish.action = PublishAction::Status;
    return request;
}

// A log that cannot be written never stops the run; it is said once.
void startRunLog(const Config& config, std::optional<ConsoleJob> job, const QString& read)
{
    const QString logFile = config.logFile.value_or(runlog::defaultPath());
    if (!logFile.isEmpty()) {
        if (const Refusal refused = runlog::open(logFile))
            printLine(stderr, u"AggiornaDV: registro non scritto: "_s + refused->text);
    }
    const QString name = !job                          ? u"finestra"_s
                         : *job == ConsoleJob::Sweep   ? u"--sweep"_s
                         : *job == ConsoleJob::Update  ? u"--update"_s
                         : *job == ConsoleJob::Publish ? u"--publish"_s
                         : *job == ConsoleJob::Check   ? u"--check"_s
                                                       : u"--rollback"_s;
    runlog::write(u"AggiornaDV %1, %2; %3"_s.arg(QStringLiteral(ADV_VERSION), name, read));
}

}  // namespace

int runCommandLine(int argc, char** argv, std::string_view builtInKey)
{
    QCoreApplication::setApplicationName(u"AggiornaDV"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(ADV_VERSION));
    const Request request = readCommandLine(argc, argv);
    if (request.ended)
        return *request.ended;

    ConfigResult loaded = loadConfig(request.configFile);
    if (!loaded.warning.isEmpty())
        printLine(stderr, u"AggiornaDV: "_s + loaded.warning);
    if (loaded.config) {
        if (Refusal refused = adoptBuiltInKey(*loaded.config, builtInKey)) {
            loaded.config.reset();
            loaded.cause = std::move(*refused);
        }
    }
    if (!loaded.config) {
        if (!request.job)
            return startupFailure(argc, argv, loaded.cause.text, ExitStatus::Config);
        printLine(stderr, u"AggiornaDV: "_s + loaded.cause.text);
        return code(ExitStatus::Config);
    }
    const Config& config = *loaded.config;

    const QString read = config.file.isEmpty() ? u"nessun file di configurazione, valori predefiniti"_s
                                               : u"configurazione letta da "_s + QDir::toNativeSeparators(config.file);
    if (request.job)
        printLine(stderr, u"AggiornaDV: "_s + read);
    startRunLog(config, request.job, read);
    if (!request.job)
        return runWindow(argc, argv, config);
    const int status =
        *request.job == ConsoleJob::Publish ? runPublish(config, request.publish) : runConsole(config, *request.job);
    runlog::write(u"Stato di uscita: %1"_s.arg(status));
    return status;
}
}  // namespace adv
