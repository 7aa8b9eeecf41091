#include "app/core/UpdateCommand.h"

#include <QDateTime>
#include <QLocale>

#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>

#include "app/core/Config.h"
#include "app/core/Minisign.h"
#include "app/core/ProductTable.h"
#include "app/core/RunLog.h"
#include "app/core/StatusLog.h"
#include "app/core/StartupSweep.h"
#include "platform/FileReplacement.h"
#include "platform/OrdinaryFile.h"
#include "platform/RunningFile.h"

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
const QString kAlreadyCurrent = u"Il programma è già aggiornato"_s;
const QString kInterrupted = u"Aggiornamento interrotto: il programma installato non è stato modificato"_s;
const QString kNotAuthentic = u"Il programma scaricato non è autentico: aggiornamento annullato"_s;
const QString kOlderRelease = u"Il server offre una versione precedente del programma: aggiornamento annullato"_s;
const QString kFutureRelease = u"La versione sul server è firmata il %1, più di un giorno dopo l'ora di questo "
                               u"computer (%2): aggiornamento annullato"_s;
const QString kRecordDamaged = u"Il registro della versione installata è danneggiato: aggiornamento annullato"_s;
const QString kRolledBack = u"Ripristinata la versione precedente del programma"_s;
const QString kNothingKept = u"Nessuna versione precedente da ripristinare"_s;
const QString kRollBackFailed = u"Impossibile ripristinare la versione precedente del programma"_s;
const QString kProgramRunning =
    u"Il programma dolvo.exe è ancora in esecuzione e non si è potuto chiudere: aggiornamento annullato"_s;

// A signing machine's clock may be off by a time zone or two, not by more.
constexpr std::int64_t kFutureSlackSeconds = 24 * 60 * 60;

const Product& kDolvo = kProducts.front();

QString connectFailed(const std::string& host)
{
    return u"Impossibile connettersi al server "_s + QString::fromStdString(host) + u". Riprovare più tardi"_s;
}

QString shownDate(std::int64_t secondsSince1970)
{
    return QLocale(QLocale::Italian, QLocale::Italy)
        .toString(QDateTime::fromSecsSinceEpoch(secondsSince1970), u"d MMMM yyyy, HH:mm"_s);
}

QString shownRelease(std::int64_t signedAt, const std::string& hash)
{
    return u"versione firmata il %1, BLAKE2b-512 %2"_s.arg(shownDate(signedAt), QString::fromStdString(hash));
}

QString notInstalledCause(const Config& config)
{
    std::string below(kDolvo.probePath.substr(1));
    std::replace(below.begin(), below.end(), '\\', '/');
    return u"non c'è il file %1"_s.arg(QString::fromStdU16String((config.root / below).make_preferred().u16string()));
}

// Those left running that run the installed dolvo.exe, that very file:
// anyone may give a program its name, and only what runs the file keeps it
// from being replaced. Any of them, whatever name it was found under.
std::vector<LeftRunning> runningInstalledProgram(const Config& config, std::span<const LeftRunning> leftRunning)
{
    if (leftRunning.empty())
        return {};
    const std::optional<std::filesystem::path> installed = platform::findOrdinaryFile(config.root, kDolvo.probePath);
    if (!installed)
        return {};
    std::vector<long> pids;
    for (const LeftRunning& left : leftRunning)
        pids.push_back(left.pid);
    const std::vector<long> running = platform::processesRunningFile(*installed, pids);
    std::vector<LeftRunning> found;
    std::copy_if(leftRunning.begin(), leftRunning.end(), std::back_inserter(found),
                 [&running](const LeftRunning& left) {
                     return std::find(running.begin(), running.end(), left.pid) != running.end();
                 });
    return found;
}

// The command's last line, and its outcome.
UpdateReport logged(UpdateUi& ui, UpdateOutcome outcome, const QString& line, QString cause)
{
    ui.AppendStatus(line);
    return {outcome, std::move(cause), {}};
}

// An Italian cause, and the system's own words behind it.
QString because(const QString& italian, const std::string& detail)
{
    return detail.empty() ? italian : italian + u" (dettaglio: %1)"_s.arg(shownValue(detail));
}

QString ftpCause(const platform::FtpResult& why, const Config& config)
{
    using platform::FtpFailure;
    QString what;
    switch (why.failure) {
    case FtpFailure::None:
    case FtpFailure::Setting: what = u"un'impostazione del collegamento non si può usare"_s; break;
    case FtpFailure::Connection:
        what = why.reply == 530
                   ? u"il server ha rifiutato l'accesso: nome utente o password non accettati"_s
                   : u"nessuna sessione con il server %1, porta %2"_s.arg(QString::fromStdString(config.host))
                         .arg(config.ftp.port);
        break;
    case FtpFailure::Folder:
        what = u"il server non apre la cartella \"%1\""_s.arg(shownValue(config.remoteFolder));
        break;
    case FtpFailure::RemoteFile: what = u"il file non si trova sul server"_s; break;
    case FtpFailure::Size: what = u"il file arrivato non è della dimensione che il server indica"_s; break;
    case FtpFailure::Transfer: what = u"il trasferimento si è interrotto, o era più lento del minimo"_s; break;
    case FtpFailure::Sink: what = u"il file scaricato non si è potuto scrivere"_s; break;
    case FtpFailure::Interrupted: what = u"interrotto su richiesta"_s; break;
    }
    if (!why.serverReply.empty())
        what += u"; risposta del server: \"%1\""_s.arg(shownValue(why.serverReply));
    return because(what, why.detail);
}

QString replaceCause(const platform::ReplaceResult& why)
{
    switch (why.status) {
    case platform::ReplaceStatus::Busy: return because(u"un altro aggiornamento è in corso"_s, why.detail);
    case platform::ReplaceStatus::Damaged:
        return because(u"il registro %1 non è nella forma che l'aggiornamento scrive"_s.arg(QString::fromStdString(
                           std::string(kDolvo.executables.front()) + std::string(platform::kRecordSuffix))),
                       why.detail);
    default: return because(u"il programma installato non si è potuto sostituire"_s, why.detail);
    }
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

// Dolvo's installation, opened and locked once: what is checked is what
// gets replaced, whatever happens to its path meanwhile, and no other
// updater moves its release floor.
struct Installation {
    std::unique_ptr<platform::FileReplacement> replacement;  // none: not installed
    platform::ReplaceResult locked;
};

Installation openInstallation(const Config& config, bool orOnlyPrevious)
{
    std::optional<std::filesystem::path> target = platform::findOrdinaryFile(config.root, kDolvo.probePath);
    if (!target && orOnlyPrevious) {
        const std::string previous = std::string(kDolvo.probePath) + std::string(platform::kPreviousSuffix);
        if (const auto kept = platform::findOrdinaryFile(config.root, previous)) {
            std::string name = kept->filename().string();
            name.resize(name.size() - platform::kPreviousSuffix.size());
            target = kept->parent_path() / name;
        }
    }
    Installation installation;
    if (!target)
        return installation;
    installation.replacement = platform::FileReplacement::open(*target, installation.locked);
    if (!installation.replacement)
        return installation;
    installation.locked = installation.replacement->lock();
    // An installation that an earlier release of this updater kept signed
    // holds its floor in the signature beside the program, bound as the
    // server's are: a date far ahead would refuse every later release.
    if (installation.locked && config.publicKey) {
        if (const auto legacy = installation.replacement->legacySignature(minisign::kMaxSignatureBytes)) {
            minisign::Check check;
            const auto signature =
                minisign::Signature::check(*legacy, *config.publicKey, kDolvo.executables.front(), check);
            if (signature && signature->timestamp() <= QDateTime::currentSecsSinceEpoch() + kFutureSlackSeconds)
                installation.replacement->raiseFloor(signature->timestamp());
        }
    }
    return installation;
}

// The program as it streams in: to the temporary file beside the installed
// one, and with a key, to its hash.
class ProgramSink final : public platform::FtpSink {
public:
    ProgramSink(platform::FileReplacement& file, bool hashing) : file_(file)
    {
        if (hashing)
            hash_.emplace();
    }
    std::string take(const char* data, std::size_t size) override
    {
        if (const platform::ReplaceResult written = file_.write(data, size); !written)
            return written.detail;
        if (hash_)
            hash_->update(data, size);
        return {};
    }
    minisign::Hash hash() { return hash_->final(); }

private:
    platform::FileReplacement& file_;
    std::optional<minisign::StreamHash> hash_;
};

}  // namespace

ExitStatus exitStatus(UpdateOutcome outcome)
{
    switch (outcome) {
    case UpdateOutcome::Updated:
    case UpdateOutcome::AlreadyCurrent:
    case UpdateOutcome::RolledBack: return ExitStatus::Updated;
    case UpdateOutcome::Cancelled: return ExitStatus::Cancelled;
    case UpdateOutcome::ConnectFailed: return ExitStatus::ConnectFailed;
    case UpdateOutcome::FolderMissing: return ExitStatus::FolderMissing;
    case UpdateOutcome::NotInstalled: return ExitStatus::NotInstalled;
    case UpdateOutcome::DownloadFailed:
    case UpdateOutcome::Interrupted: return ExitStatus::DownloadFailed;
    case UpdateOutcome::NotAuthentic: return ExitStatus::NotAuthentic;
    case UpdateOutcome::OlderRelease: return ExitStatus::OlderRelease;
    case UpdateOutcome::FutureRelease: return ExitStatus::FutureRelease;
    case UpdateOutcome::RecordDamaged: return ExitStatus::RecordDamaged;
    case UpdateOutcome::ProgramRunning: return ExitStatus::ProgramRunning;
    case UpdateOutcome::NothingKept: return ExitStatus::NothingKept;
    }
    return ExitStatus::DownloadFailed;
}

namespace {

// The window's or the console's log, and the log file, line for line.
class LoggedUi final : public UpdateUi {
public:
    explicit LoggedUi(UpdateUi& ui) : ui_(ui) {}
    void setPointer(Pointer pointer) override { ui_.setPointer(pointer); }
    bool askYesNo(const QString& prompt, const QString& title) override { return ui_.askYesNo(prompt, title); }
    void showBusyLabel() override { ui_.showBusyLabel(); }
    void AppendStatus(const QString& message) override
    {
        runlog::write(statusLine(message));
        ui_.AppendStatus(message);
    }
    void downloadProgress(std::int64_t received, std::int64_t total) override { ui_.downloadProgress(received, total); }
    void downloadEnded() override { ui_.downloadEnded(); }
    bool stopRequested() override { return ui_.stopRequested(); }

private:
    UpdateUi& ui_;
};

UpdateReport loggedEnd(UpdateReport report)
{
    if (!report.cause.isEmpty())
        runlog::write(u"Causa: "_s + report.cause);
    if (!report.release.isEmpty())
        runlog::write(u"Installata: "_s + report.release);
    return report;
}

UpdateReport update(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed,
                    std::span<const LeftRunning> leftRunning);
UpdateReport rollBack(UpdateUi& ui, const Config& config, std::span<const LeftRunning> leftRunning);

}  // namespace

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed,
                           std::span<const LeftRunning> leftRunning)
{
    LoggedUi logged(ui);
    return loggedEnd(update(logged, ftp, config, confirmed, leftRunning));
}

UpdateReport RollBackCommand(UpdateUi& ui, const Config& config, std::span<const LeftRunning> leftRunning)
{
    LoggedUi logged(ui);
    return loggedEnd(rollBack(logged, config, leftRunning));
}

namespace {

UpdateReport update(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed,
                    std::span<const LeftRunning> leftRunning)
{
    PointerGuard pointer(ui);
    if (!confirmed && !ui.askYesNo(kPrompt, kTitle))
        return {UpdateOutcome::Cancelled, {}, {}};
    // On Windows the running program holds its file; on Linux it would go
    // on running the replaced one. Nothing is waited for on the server.
    if (const auto running = runningInstalledProgram(config, leftRunning); !running.empty())
        return logged(ui, UpdateOutcome::ProgramRunning, kProgramRunning, notClosedLines(running).join(u"; "_s));

    // Before any wait on the server.
    Installation installation = openInstallation(config, false);
    ui.showBusyLabel();
    ui.AppendStatus(kConnecting);

    const auto say = [&ui](UpdateOutcome outcome, const QString& line, QString cause = {}) {
        return logged(ui, outcome, line, std::move(cause));
    };
    // A stop asked for while the server is being waited for ends the
    // command at once, whatever step it is in.
    const auto failed = [&say, &config](UpdateOutcome outcome, const QString& line, const platform::FtpResult& why) {
        if (why.failure == platform::FtpFailure::Interrupted)
            return say(UpdateOutcome::Interrupted, kInterrupted, ftpCause(why, config));
        return say(outcome, line, ftpCause(why, config));
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
    if (!installation.replacement && installation.locked)
        return say(UpdateOutcome::NotInstalled, kNotInstalled, notInstalledCause(config));

    ui.AppendStatus(kDownloadStarts);
    if (installation.locked.status == platform::ReplaceStatus::Damaged)
        return say(UpdateOutcome::RecordDamaged, kRecordDamaged, replaceCause(installation.locked));
    if (!installation.locked)
        return say(UpdateOutcome::DownloadFailed, kDownloadFailed, replaceCause(installation.locked));
    platform::FileReplacement& replacement = *installation.replacement;
    const std::string remoteName(kDolvo.executables.front());

    // Everything the signature alone can prove is judged before the
    // program is downloaded.
    std::optional<minisign::Signature> signature;
    if (config.publicKey) {
        platform::MemorySink text(minisign::kMaxSignatureBytes);
        const platform::FtpResult got = ftp.FetchFile(remoteName + std::string(platform::kSignatureSuffix), text);
        const bool absent =
            got.failure == platform::FtpFailure::RemoteFile || got.failure == platform::FtpFailure::Size;
        if (absent)
            return say(UpdateOutcome::NotAuthentic, kNotAuthentic,
                       u"il server non offre la firma %1: %2"_s.arg(QString::fromStdString(remoteName) + u".minisig"_s,
                                                                    ftpCause(got, config)));
        if (!got)
            return failed(UpdateOutcome::DownloadFailed, kDownloadFailed, got);
        minisign::Check check;
        signature = minisign::Signature::check(text.contents(), *config.publicKey, remoteName, check);
        if (!signature)
            return say(UpdateOutcome::NotAuthentic, kNotAuthentic,
                       because(u"la firma non è del produttore, o non è di questo file"_s, check.failure));

        const std::int64_t signedAt = signature->timestamp();
        const std::int64_t now = QDateTime::currentSecsSinceEpoch();
        if (signedAt > now + kFutureSlackSeconds)
            return say(
                UpdateOutcome::FutureRelease, kFutureRelease.arg(shownDate(signedAt), shownDate(now)),
                u"la versione sul server è firmata il %1, più di un giorno dopo l'ora di questo computer (%2)"_s.arg(
                    shownDate(signedAt), shownDate(now)));
        // The installed release is current whatever the floor says.
        const platform::ReleaseRecord& record = replacement.record();
        const auto installedHash = minisign::hashFromHex(record.installed.hash);
        if (record.installed.signedAt == signedAt && installedHash && signature->verifies(*installedHash)) {
            UpdateReport current = say(UpdateOutcome::AlreadyCurrent, kAlreadyCurrent);
            current.release = shownRelease(signedAt, record.installed.hash);
            ftp.CloseSession();
            return current;
        }
        if (record.floor && signedAt < *record.floor)
            return say(UpdateOutcome::OlderRelease, kOlderRelease,
                       u"la versione sul server è firmata il %1, prima di una già installata qui (firmata il %2)"_s.arg(
                           shownDate(signedAt), shownDate(*record.floor)));
    }

    if (const platform::ReplaceResult begun = replacement.begin(); !begun)
        return say(UpdateOutcome::DownloadFailed, kDownloadFailed, replaceCause(begun));
    ProgramSink sink(replacement, signature.has_value());
    const platform::FtpResult fetched = ftp.FetchFile(
        remoteName, sink, [&ui](std::int64_t received, std::int64_t total) { ui.downloadProgress(received, total); });
    ui.downloadEnded();
    if (!fetched)
        return failed(UpdateOutcome::DownloadFailed, kDownloadFailed, fetched);

    platform::Release release;
    if (signature) {
        const minisign::Hash hash = sink.hash();
        if (const minisign::Check genuine = signature->verifies(hash); !genuine)
            return say(UpdateOutcome::NotAuthentic, kNotAuthentic,
                       because(u"il programma scaricato non è quello che il produttore ha firmato"_s, genuine.failure));
        release = {signature->timestamp(), minisign::toHex(hash)};
    }
    const platform::ReplaceResult committed = replacement.commit(release);
    if (!committed)
        return say(UpdateOutcome::DownloadFailed, kDownloadFailed, replaceCause(committed));

    const bool same = committed.status == platform::ReplaceStatus::Unchanged;
    ui.AppendStatus(same ? kAlreadyCurrent : kUpdated);
    ui.setPointer(Pointer::Arrow);
    ftp.CloseSession();
    // What could not be tidied afterwards, if anything.
    const QString untidy =
        committed.detail.empty() ? QString() : because(u"aggiornato, ma non tutto è in ordine"_s, committed.detail);
    return {same ? UpdateOutcome::AlreadyCurrent : UpdateOutcome::Updated, untidy,
            signature ? shownRelease(signature->timestamp(), release.hash) : u"versione non firmata"_s};
}

UpdateReport rollBack(UpdateUi& ui, const Config& config, std::span<const LeftRunning> leftRunning)
{
    PointerGuard pointer(ui);
    if (const auto running = runningInstalledProgram(config, leftRunning); !running.empty())
        return logged(ui, UpdateOutcome::ProgramRunning, kProgramRunning, notClosedLines(running).join(u"; "_s));
    Installation installation = openInstallation(config, true);
    const auto say = [&ui](UpdateOutcome outcome, const QString& line, QString cause = {}) {
        return logged(ui, outcome, line, std::move(cause));
    };
    if (!installation.replacement && installation.locked)
        return say(UpdateOutcome::NotInstalled, kNotInstalled, notInstalledCause(config));
    if (installation.locked.status == platform::ReplaceStatus::Damaged)
        return say(UpdateOutcome::RecordDamaged, kRecordDamaged, replaceCause(installation.locked));
    if (!installation.locked)
        return say(UpdateOutcome::DownloadFailed, kRollBackFailed, replaceCause(installation.locked));

    const platform::ReplaceResult swapped = installation.replacement->rollBack();
    if (swapped.status == platform::ReplaceStatus::NothingKept)
        return say(UpdateOutcome::NothingKept, kNothingKept);
    if (!swapped)
        return say(UpdateOutcome::DownloadFailed, kRollBackFailed, replaceCause(swapped));
    return say(UpdateOutcome::RolledBack, kRolledBack,
               swapped.detail.empty() ? QString()
                                      : because(u"ripristinato, ma non tutto è in ordine"_s, swapped.detail));
}

}  // namespace

}  // namespace adv
