#include "app/UpdateCommand.h"

#include "app/Config.h"
#include "platform/DirectoryQuery.h"

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

constexpr std::string_view kRemoteFile = "dolvo.exe";
constexpr std::string_view kInstalledFile = "\\dolvo\\dolvo.exe";

QString connectFailed(const std::string& host)
{
    return u"Impossibile connettersi al server "_s + QString::fromStdString(host)
           + u". Riprovare più tardi"_s;
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

}  // namespace

int exitStatus(UpdateOutcome outcome)
{
    switch (outcome) {
    case UpdateOutcome::Updated: return 0;
    case UpdateOutcome::Cancelled: return 1;
    case UpdateOutcome::ConnectFailed: return 2;
    case UpdateOutcome::FolderMissing: return 3;
    case UpdateOutcome::NotInstalled: return 4;
    case UpdateOutcome::DownloadFailed: return 5;
    }
    return 5;
}

UpdateOutcome UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config,
                            bool confirmed)
{
    PointerGuard pointer(ui);
    if (!confirmed && !ui.askYesNo(kPrompt, kTitle))
        return UpdateOutcome::Cancelled;

    const QString drive = ui.driveText();
    ui.showBusyLabel();
    ui.AppendStatus(kConnecting);

    ftp.setHostname(config.host);
    ftp.setUsername(config.user);
    ftp.setPassword(config.password);
    ftp.setPassive(true);
    if (!ftp.OpenSession()) {
        ui.AppendStatus(connectFailed(config.host));
        return UpdateOutcome::ConnectFailed;
    }
    ui.AppendStatus(kConnected);

    if (!ftp.EnterRemoteFolder(config.remoteFolder)) {
        ui.AppendStatus(kFolderMissing);
        return UpdateOutcome::FolderMissing;
    }

    // Checked before anything is downloaded: an update never installs a
    // product that was not there.
    const auto target = platform::findOrdinaryFile(drive.toStdString(), kInstalledFile);
    if (!target) {
        ui.AppendStatus(kNotInstalled);
        return UpdateOutcome::NotInstalled;
    }

    ui.AppendStatus(kDownloadStarts);
    const bool fetched = ftp.FetchFile(std::string(kRemoteFile), *target,
                                       [&ui](std::int64_t received, std::int64_t total) {
                                           ui.downloadProgress(received, total);
                                       });
    ui.downloadProgress(-1, -1);
    if (!fetched) {
        ui.AppendStatus(kDownloadFailed);
        return UpdateOutcome::DownloadFailed;
    }

    ui.AppendStatus(kUpdated);
    ui.setPointer(Pointer::Arrow);
    ftp.CloseSession();
    return UpdateOutcome::Updated;
}

}  // namespace adv
