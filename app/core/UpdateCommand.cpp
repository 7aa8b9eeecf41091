#include "app/core/UpdateCommand.h"

#include <fstream>
#include <optional>

#include "app/core/Config.h"
#include "app/core/Minisign.h"
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
const QString kNotAuthentic = u"Il programma scaricato non è autentico: aggiornamento annullato"_s;
const QString kOlderRelease = u"Il server offre una versione precedente del programma: aggiornamento annullato"_s;

constexpr std::string_view kRemoteFile = "dolvo.exe";
constexpr std::string_view kSignatureSuffix = ".minisig";

// The release of the installed program: the timestamp of the signature
// kept beside it, when the key signed it.
std::optional<std::int64_t> installedRelease(const std::filesystem::path& target, const minisign::PublicKey& key)
{
    std::ifstream in(target.string() + std::string(kSignatureSuffix), std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text(minisign::kMaxSignatureBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    minisign::Check check;
    const auto kept = minisign::Signature::check(text, key, kRemoteFile, check);
    if (!kept)
        return std::nullopt;
    return kept->timestamp();
}

// Hashes the download as it streams in and judges it once it is whole: the
// signature first, then the release's age.
class SignedDownload final : public platform::DownloadCheck {
public:
    SignedDownload(const minisign::Signature& signature, std::optional<std::int64_t> installed)
        : signature_(signature), installed_(installed)
    {
    }

    void consume(const char* data, std::size_t size) override { hash_.update(data, size); }

    std::string verdict() override
    {
        if (const minisign::Check genuine = signature_.verifies(hash_.final()); !genuine) {
            outcome_ = UpdateOutcome::NotAuthentic;
            return genuine.failure;
        }
        if (installed_ && signature_.timestamp() < *installed_) {
            outcome_ = UpdateOutcome::OlderRelease;
            return "the server's release (signed at " + std::to_string(signature_.timestamp()) +
                   ") is older than the installed one (signed at " + std::to_string(*installed_) + ")";
        }
        return {};
    }

    UpdateOutcome outcome() const { return outcome_; }

private:
    const minisign::Signature& signature_;
    std::optional<std::int64_t> installed_;
    minisign::StreamHash hash_;
    UpdateOutcome outcome_ = UpdateOutcome::NotAuthentic;
};

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
    case UpdateOutcome::NotAuthentic: return ExitStatus::NotAuthentic;
    case UpdateOutcome::OlderRelease: return ExitStatus::OlderRelease;
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
    const auto progress = [&ui](std::int64_t received, std::int64_t total) { ui.downloadProgress(received, total); };
    if (!config.publicKey) {
        const platform::FtpResult fetched = ftp.FetchFile(std::string(kRemoteFile), *target, progress);
        ui.downloadEnded();
        if (!fetched)
            return failed(UpdateOutcome::DownloadFailed, kDownloadFailed, fetched);
    } else {
        // Everything the signature file alone can prove is checked before
        // the program is downloaded.
        const std::string signatureName = std::string(kRemoteFile) + std::string(kSignatureSuffix);
        std::string text;
        const platform::FtpResult got = ftp.FetchText(signatureName, minisign::kMaxSignatureBytes, text);
        const bool absent = got.failure == platform::FtpFailure::RemoteFile || got.failure == platform::FtpFailure::Size;
        if (!got && !absent) {
            ui.downloadEnded();
            return failed(UpdateOutcome::DownloadFailed, kDownloadFailed, got);
        }
        minisign::Check check;
        const auto signature =
            absent ? std::nullopt : minisign::Signature::check(text, *config.publicKey, kRemoteFile, check);
        if (!signature) {
            ui.downloadEnded();
            ui.AppendStatus(kNotAuthentic);
            return {UpdateOutcome::NotAuthentic, absent ? got.detail : check.failure};
        }

        SignedDownload verdict(*signature, installedRelease(*target, *config.publicKey));
        const platform::FtpResult fetched =
            ftp.FetchFile(std::string(kRemoteFile), *target, progress, {&verdict, signature->text()});
        ui.downloadEnded();
        if (fetched.failure == platform::FtpFailure::Rejected) {
            ui.AppendStatus(verdict.outcome() == UpdateOutcome::OlderRelease ? kOlderRelease : kNotAuthentic);
            return {verdict.outcome(), fetched.detail};
        }
        if (!fetched)
            return failed(UpdateOutcome::DownloadFailed, kDownloadFailed, fetched);
    }

    ui.AppendStatus(kUpdated);
    ui.setPointer(Pointer::Arrow);
    ftp.CloseSession();
    return {UpdateOutcome::Updated, {}};
}

}  // namespace adv
