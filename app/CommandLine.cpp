#include "app/CommandLine.h"

#include <QApplication>
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

#include "app/CommandRequest.h"
#include "app/window/AggiornaDolvo.h"
#include "app/window/WindowProcess.h"
#include "app/core/Config.h"
#include "app/site/Pacing.h"
#include "app/core/RunLog.h"
#include "app/core/ProductTable.h"
#include "app/site/StartupSweep.h"
#include "app/site/RollBackCommand.h"
#include "app/site/UpdateCommand.h"
#include "app/site/UpdateTexts.h"
#include "app/site/ProcessTerminator.h"
#include "app/maker/FleetCommand.h"
#include "app/maker/PublishCommand.h"
#include "app/maker/ServerLock.h"
#include "app/core/ConsoleUi.h"
#include "platform/Arguments.h"
#include "platform/Terminal.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// A line for the operator on stderr, after the program's name: stdout is
// for the products' rows, the status lines, the help and the version.
void say(const QString& line)
{
    printLine(stderr, u"AggiornaDV: "_s + line);
}

class ConsoleCheckBox final : public CheckBox {
public:
    short value() const override { return value_; }
    void setValue(short value) override { value_ = value; }

private:
    short value_ = 0;
};

const QString kNotVerified =
    u"attenzione: il programma scaricato non viene verificato. Per installare solo i programmi firmati "
    u"dal produttore, scrivere la sua chiave pubblica minisign (la riga \"RW...\" di minisign.pub) come public_key "
    u"nella configurazione."_s;

// A nightly --update, before anything is closed or connected: inside the
// operators' working hours, now or when the random wait would end, it closes
// nothing and is put off to the next run; else the random wait spreads the
// sites over time, so that they do not all reach the server at once. Said as
// the run's other status lines are. The exit status when it goes no further.
std::optional<int> paceTheStart(UpdateUi& ui, const Config& config, Pacer& pacer)
{
    runlog::LoggedUi logged(ui);
    const std::chrono::seconds delay = pacer.random(config.randomDelay);
    const std::int64_t now = pacer.now();
    if (config.workingHours && (withinWorkingHours(*config.workingHours, pacer.minuteOfDay(now)) ||
                                withinWorkingHours(*config.workingHours, pacer.minuteOfDay(now + delay.count())))) {
        logged.AppendStatus(text::workingHoursNow(*config.workingHours));
        return code(ExitStatus::Success);
    }
    if (delay > std::chrono::seconds::zero()) {
        logged.AppendStatus(text::delayBeforeConnecting(delay));
        if (!pacer.wait(delay, [&ui] { return ui.stopRequested(); })) {
            logged.AppendStatus(text::kInterrupted);
            return code(exitStatus(UpdateOutcome::Interrupted));
        }
    }
    return std::nullopt;
}

int runConsole(const Config& config, Job job)
{
    // An interrupt stops an update cleanly; one that comes during the sweep
    // lets the sweep end, and the update then stops at its first wait on the
    // server.
    ConsoleUi ui;
    bool leftRunning = false;  // and named by the sweep
    const auto ended = [&leftRunning](const UpdateReport& report) {
        // A program left running was named by the sweep's own lines, just
        // before: each line is said once. One started again after a sweep
        // that closed everything was not.
        if (!report.cause.isEmpty() && (report.outcome != UpdateOutcome::ProgramRunning || !leftRunning))
            say(report.cause.text);
        return code(exitStatus(report.outcome));
    };
    if (job == Job::Check) {
        // It only looks: nothing is closed, and one attempt says how things stand.
        auto ftp = platform::makeCurlFtpClient(downloadOptions(config));
        const UpdateReport report = UpdateCommand(ui, *ftp, config, {.mode = UpdateMode::Check, .reportAs = "check"});
        // What the maker is told of this site, for the operator to see; on
        // stderr, so that stdout still ends with the verdict.
        if (!report.siteReport.empty()) {
            say(u"rapporto di questa esecuzione per il produttore:"_s);
            printLine(stderr, QString::fromStdString(report.siteReport).trimmed());
        }
        return ended(report);
    }
    const std::unique_ptr<Pacer> pacer = systemPacer();
    if (job == Job::Update) {
        if (const std::optional<int> status = paceTheStart(ui, config, *pacer))
            return *status;
    }
    std::array<ConsoleCheckBox, kProducts.size()> boxes;
    ProductCheckBoxes pointers;
    std::transform(boxes.begin(), boxes.end(), pointers.begin(), [](ConsoleCheckBox& box) { return &box; });
    ProcessTerminator terminator(config.closeGrace);
    const auto close = [&] {
        const TerminateReport swept = CloseTicked(pointers, terminator);
        for (const QString& line : sweepLines(swept))
            say(line);
        leftRunning = !swept.left.empty();
        return swept.left;
    };
    ProbeProducts(config.root, pointers);
    // --update closes only once it knows it will install.
    const std::vector<LeftRunning> left = job == Job::Update ? std::vector<LeftRunning>{} : close();
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        const auto caption =
            QString::fromUtf8(kProducts[i].caption.data(), static_cast<qsizetype>(kProducts[i].caption.size()));
        printLine(stdout, (boxes[i].value() == 1 ? u"[x] "_s : u"[ ] "_s) + caption);
    }
    if (job == Job::Sweep)
        return code(left.empty() ? ExitStatus::Success : ExitStatus::NotAllClosed);
    if (job == Job::RollBack)
        return ended(RollBackCommand(ui, *installSiteBelow(config.root), config, left));
    if (!config.publicKey)
        say(kNotVerified);
    auto ftp = platform::makeCurlFtpClient(downloadOptions(config));
    return ended(UpdateCommand(
        ui, *ftp, config,
        {.mode = UpdateMode::Nightly, .closePrograms = close, .pacer = pacer.get(), .reportAs = "update"}));
}

// Qt ends the program (abort) when it finds no screen to show a window on;
// nothing has been closed yet at that point, and the operator is told, in
// words of ours alone, what to do instead. Qt's own warnings of the attempt
// are English and say nothing more.
bool makingTheApplication = false;
int statusWithoutScreen = code(ExitStatus::NoDisplay);
QtMessageHandler qtHandler = nullptr;

const QString kNoScreen = u"nessuno schermo su cui aprire la finestra. Usare --update o --sweep, oppure "
                          u"avviare AggiornaDV in una sessione grafica (DISPLAY o WAYLAND_DISPLAY)."_s;

void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (makingTheApplication) {
        if (type == QtFatalMsg) {
            if (statusWithoutScreen == code(ExitStatus::NoDisplay))
                say(kNoScreen);
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
    say(text);
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

// The maker's machine has no products to close: publishing skips the sweep.
// How far each upload has gone, every tenth, on a terminal only.
int runMaker(const Config& config, const CommandRequest& request)
{
    ConsoleUi console([](int percent) { say(u"  inviato il %1%"_s.arg(percent)); });
    runlog::LoggedUi ui(console);
    auto ftp = platform::makeCurlFtpPublishSession(config.ftp);
    const auto askPassword = [] { return platform::readSecret("Password della chiave segreta: "); };
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    const PublishReport report =
        request.job == Job::Unlock  ? UnlockCommand(ui, *ftp, config, now)
        : request.job == Job::Fleet ? FleetCommand(ui, *ftp, config, request.fleet, askPassword, now)
                                    : PublishCommand(ui, *ftp, config, request.publish, askPassword, now);
    if (!report.cause.isEmpty()) {
        say(report.cause.text);
        runlog::write(report.cause.logged());
    }
    return code(exitStatus(report.outcome));
}

// A log that cannot be written never stops the run; it is said once.
void startRunLog(const Config& config, const QString& command, const QString& read)
{
    const QString logFile = config.logFile.value_or(runlog::defaultPath());
    if (!logFile.isEmpty()) {
        if (const Refusal refused = runlog::open(logFile))
            say(u"registro non scritto: "_s + refused->text);
    }
    runlog::write(u"AggiornaDV %1, %2; %3"_s.arg(QStringLiteral(ADV_VERSION), command, read));
}

// The command line as the operator typed it, without the program's name.
QStringList typedArguments(int argc, char** argv)
{
    QStringList arguments;
    for (const std::string& argument : platform::commandLineArguments(argc, argv))
        arguments << QString::fromStdString(argument);
    return arguments.mid(1);
}

// --help, --version, or a mistake in the command line.
int endedEarly(const CommandRequest& request)
{
    if (!request.output.isEmpty())
        printLine(stdout, request.output);
    if (!request.mistake.isEmpty())
        say(request.mistake);
    if (request.usage)
        printLine(stderr, usageLines());
    return *request.ended;
}

}  // namespace

int runCommandLine(int argc, char** argv, std::string_view builtInKey)
{
    QCoreApplication::setApplicationName(u"AggiornaDV"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(ADV_VERSION));
    const CommandRequest request = readCommandRequest(typedArguments(argc, argv));
    if (request.ended)
        return endedEarly(request);

    ConfigResult loaded = loadConfig(request.configFile);
    if (!loaded.warning.isEmpty())
        say(loaded.warning);
    if (loaded.config) {
        if (Refusal refused = adoptBuiltInKey(*loaded.config, builtInKey)) {
            loaded.config.reset();
            loaded.cause = std::move(*refused);
        }
    }
    if (!loaded.config) {
        if (request.job == Job::Window)
            return startupFailure(argc, argv, loaded.cause.text, ExitStatus::Config);
        say(loaded.cause.text);
        return code(ExitStatus::Config);
    }
    const Config& config = *loaded.config;

    const QString read = config.file.isEmpty() ? u"nessun file di configurazione, valori predefiniti"_s
                                               : u"configurazione letta da "_s + QDir::toNativeSeparators(config.file);
    if (request.job != Job::Window)
        say(read);
    startRunLog(config, request.command, read);
    if (request.job == Job::Window)
        return runWindow(argc, argv, config);
    const bool maker = request.job == Job::Publish || request.job == Job::Unlock || request.job == Job::Fleet;
    const int status = maker ? runMaker(config, request) : runConsole(config, request.job);
    runlog::write(u"Stato di uscita: %1"_s.arg(status));
    return status;
}

}  // namespace adv
