#include "app/core/UpdateCommand.h"

#include "app/core/Config.h"
#include "app/core/ProductTable.h"
#include "platform/OrdinaryFile.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

const QString kPrompt = u"Sei sicuro di voler procedere"_s;
const QString kTitle = u"Aggiornamento software"_s;
const QString kConnecting = u"Collegamento al sito ZORVANIK"_s;
const QString kConnected = u"Collegamento riuscito"_s;
const QString kFolderMissing = u"La Directory 'download' non esiste sul server "_s;
const QString kNotInstalled = u"Programma Dolvo non è stato installato... "_s;
const QString kDownloadStarts = u"Inizio download programma "_s;
const QString kDownloadFailed = u"Impossibile scaricare il programma. Riprovare più tardi"_s;
const QString kUpdated = u"Il programma è stato aggiornato... "_s;
const QString kInterrupted = u"Aggiornamento interrotto: il programma installato non è stato modificato"_s;

constexpr std::string_view kRemoteFile = "dolvo.exe";

QString connectFailed(const std::string& host)
{
    return u"Impossibile connettersi al server "_s + QString::fromStdString(host) + u". Riprovare più tardi"_s;
}

// Every way out of the command puts the arrow back.
class PointerGuard {
public:
    explicit PointerGuard(UpdateUi& ui) : ui_(ui) { ui_.setPointer(Pointer::Hourglass); }
    ~PointerGuard() { ui_.setPointer(Pointer::Arrow); }
    PointerGuard(const PointerGuard&) = delete;
    PointerGuard& operator=(const PointerGuard&) = delete;

private:
    UpdateUi& ui_;
};

// The session asks the window whether to stop only while the command runs:
// the window may go before the session does.
class InterruptScope {
public:
    InterruptScope(platform::FtpClient& ftp, UpdateUi& ui) : ftp_(ftp)
    {
        ftp_.setInterruptCheck([&ui] { return ui.stopRequested(); });
    }
    ~InterruptScope() { ftp_.setInterruptCheck({}); }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    platform::FtpClient& ftp_;
};

}  // namespace

ExitStatus exitStatus(UpdateOutcome outcome)
{
    switch (outcome) {
    case UpdateOutcome::Updated: return ExitStatus::Updated;
    case UpdateOutcome::Cancelled: return ExitStatus::Cancelled;
    case UpdateOutcome::ConnectFailed: return ExitStatus::ConnectFailed;
    case UpdateOutcome::FolderMissing: return ExitStatus::FolderMissing;
    case UpdateOutcome::NotInstalled: return ExitStatus::NotInstalled;
    case UpdateOutcome::DownloadFailed:
    case UpdateOutcome::Interrupted: return ExitStatus::DownloadFailed;
    }
    return ExitStatus::DownloadFailed;
}

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed)
{
    PointerGuard pointer(ui);
    if (!confirmed && !ui.askYesNo(kPrompt, kTitle))
        return {UpdateOutcome::Cancelled, {}};

    const QString drive = ui.driveText();
    ui.showBusyLabel();
    ui.AppendStatus(kConnecting);

    // A stop asked for while the server is being waited for ends the
    // command at once, whatever step it is in.
    const auto failed = [&ui](UpdateOutcome outcome, const QString& message, const platform::FtpResult& why) {
        if (why.failure == platform::FtpFailure::Interrupted) {
            ui.AppendStatus(kInterrupted);
            return UpdateReport{UpdateOutcome::Interrupted, why.detail};
        }
        ui.AppendStatus(message);
        return UpdateReport{outcome, why.detail};
    };

    const InterruptScope interrupts(ftp, ui);
    ftp.setHostname(config.host);
    ftp.setUsername(config.user);
    ftp.setPassword(config.password);
    ftp.setPassive(true);
    if (const platform::FtpResult opened = ftp.OpenSession(); !opened)
        return failed(UpdateOutcome::ConnectFailed, connectFailed(config.host), opened);
    ui.AppendStatus(kConnected);

    if (const platform::FtpResult entered = ftp.EnterRemoteFolder(config.remoteFolder); !entered)
        return failed(UpdateOutcome::FolderMissing, kFolderMissing, entered);

    // Checked before anything is downloaded: an update never installs a
    // product that was not there, nor writes outside the root.
    const auto target = platform::findOrdinaryFile(drive.toStdString(), kProducts.front().probePath);
    if (!target) {
        ui.AppendStatus(kNotInstalled);
        return {UpdateOutcome::NotInstalled, {}};
    }

    ui.AppendStatus(kDownloadStarts);
    const platform::FtpResult fetched =
        ftp.FetchFile(std::string(kRemoteFile), *target,
                      [&ui](std::int64_t received, std::int64_t total) { ui.downloadProgress(received, total); });
    ui.downloadEnded();
    if (!fetched)
        return failed(UpdateOutcome::DownloadFailed, kDownloadFailed, fetched);

    ui.AppendStatus(kUpdated);
    ui.setPointer(Pointer::Arrow);
    ftp.CloseSession();
    return {UpdateOutcome::Updated, {}};
}

}  // namespace adv
