#include "app/core/UpdateCommand.h"

#include <QDateTime>

#include <algorithm>
#include <optional>
#include <string>

#include "app/core/Config.h"
#include "app/core/Minisign.h"
#include "app/core/Pacing.h"
#include "app/core/ProductTable.h"
#include "app/core/ReleaseGate.h"
#include "app/core/RunLog.h"
#include "app/core/StartupSweep.h"
#include "app/core/UpdateTexts.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

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

// The program as it streams in: to the temporary file beside the installed
// one, and with a key, to its hash.
class ProgramSink final : public platform::FtpSink {
public:
    ProgramSink(install::FileReplacement& file, bool hashing) : file_(file)
    {
        if (hashing)
            hash_.emplace();
    }
    platform::FtpResult take(const char* data, std::size_t size) override
    {
        if (install::ReplaceResult written = file_.write(data, size); !written)
            return {platform::FtpFailure::Sink, 0, std::move(written.detail), {}};
        if (hash_)
            hash_->update(data, size);
        return {};
    }
    minisign::Hash hash() { return hash_->final(); }

private:
    install::FileReplacement& file_;
    std::optional<minisign::StreamHash> hash_;
};

// One run of the command, step by step; each step either lets the run go
// on (no report) or ends it with its report.
class Update {
public:
    Update(UpdateUi& ui, platform::FtpClient& ftp, const Config& config) : ui_(ui), ftp_(ftp), config_(config) {}

    UpdateReport run(InstallSite& site, bool confirmed, std::span<const LeftRunning> leftRunning)
    {
        PointerGuard pointer(ui_);
        if (!confirmed && !ui_.askYesNo(text::kPrompt, text::kQuestionTitle))
            return {UpdateOutcome::Cancelled, {}, {}};
        // On Windows the running program holds its file; on Linux it would go
        // on running the replaced one. Nothing is waited for on the server.
        if (const auto running = runningInstalledProgram(site, leftRunning); !running.empty())
            return ended(ui_, UpdateOutcome::ProgramRunning, text::kProgramRunning,
                         notClosedLines(running).join(u"; "_s));
        // Before any wait on the server.
        Installation installation = openInstallation(site, config_, false);
        ui_.showBusyLabel();
        ui_.AppendStatus(text::kConnecting);

        const InterruptScope interrupts(ftp_, ui_);
        if (auto failed = connect())
            return *failed;
        // Checked before anything is downloaded: an update never installs a
        // product that was not there, nor writes outside the root.
        if (!installation.replacement && installation.locked)
            return ended(ui_, UpdateOutcome::NotInstalled, text::kNotInstalled, text::notInstalledCause(config_.root));
        ui_.AppendStatus(text::kDownloadStarts);
        if (installation.locked.status == install::ReplaceStatus::Damaged)
            return ended(ui_, UpdateOutcome::RecordDamaged, text::kRecordDamaged,
                         text::replaceCause(installation.locked));
        if (!installation.locked)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed,
                         text::replaceCause(installation.locked));
        return takeRelease(*installation.replacement, /*mayRetry=*/true);
    }

private:
    const std::string remoteName_{kUpdatedProgram};
    std::string signatureText_;  // the signature file as judged

    UpdateReport takeRelease(install::FileReplacement& replacement, bool mayRetry)
    {
        std::optional<minisign::Signature> signature;
        if (config_.publicKey) {
            if (auto refused = judgeSignature(replacement.record(), signature))
                return *refused;
        }
        return downloadAndInstall(replacement, signature, mayRetry);
    }

    // The maker's publish puts the program in place just before its
    // signature: a site in between holds the old signature and gets the new
    // program. Then the signature on the server is no longer the one judged.
    bool releaseChanged()
    {
        platform::MemorySink now(minisign::kMaxSignatureBytes);
        return ftp_.FetchFile(remoteName_ + std::string(install::kSignatureSuffix), now) &&
               now.contents() != signatureText_;
    }

    UpdateReport failed(UpdateOutcome outcome, const QString& line, const platform::FtpResult& why)
    {
        // A stop asked for while the server is being waited for ends the
        // command at once, whatever step it is in.
        if (why.failure == platform::FtpFailure::Interrupted)
            return ended(ui_, UpdateOutcome::Interrupted, text::kInterrupted, text::ftpCause(why, config_));
        UpdateReport report = ended(ui_, outcome, line, text::ftpCause(why, config_));
        report.mayPass = mayPassIfTriedAgain(why);
        return report;
    }

    std::optional<UpdateReport> connect()
    {
        ftp_.setHostname(config_.host);
        ftp_.setUsername(config_.user);
        ftp_.setPassword(config_.password);
        ftp_.setPassive(true);
        if (const platform::FtpResult opened = ftp_.OpenSession(); !opened)
            return failed(UpdateOutcome::ConnectFailed, text::connectFailed(config_.host), opened);
        ui_.AppendStatus(text::kConnected);
        if (const platform::FtpResult entered = ftp_.EnterRemoteFolder(config_.remoteFolder); !entered)
            return failed(UpdateOutcome::FolderMissing, text::kFolderMissing, entered);
        return std::nullopt;
    }

    // Everything the signature alone can prove is judged before the program
    // is downloaded.
    std::optional<UpdateReport> judgeSignature(const install::ReleaseRecord& record,
                                               std::optional<minisign::Signature>& signature)
    {
        platform::MemorySink text(minisign::kMaxSignatureBytes);
        const platform::FtpResult got = ftp_.FetchFile(remoteName_ + std::string(install::kSignatureSuffix), text);
        if (got.failure == platform::FtpFailure::RemoteFile || got.failure == platform::FtpFailure::Size)
            return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic,
                         text::signatureMissingCause(text::ftpCause(got, config_)));
        if (!got)
            return failed(UpdateOutcome::DownloadFailed, text::kDownloadFailed, got);
        const minisign::Checked checked = minisign::Signature::check(text.contents(), *config_.publicKey, remoteName_);
        if (!checked.signature)
            return ended(
                ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic,
                text::because(u"la firma non è del produttore, o non è di questo file"_s, checked.check.failure));
        signature = checked.signature;
        signatureText_ = text.contents();

        const std::int64_t signedAt = signature->timestamp();
        const std::int64_t now = QDateTime::currentSecsSinceEpoch();
        switch (judgeRelease(*signature, record, now)) {
        case ReleaseVerdict::Take: return std::nullopt;
        case ReleaseVerdict::Future:
            return ended(ui_, UpdateOutcome::FutureRelease, text::futureRelease(signedAt, now),
                         text::futureReleaseCause(signedAt, now));
        case ReleaseVerdict::Older:
            return ended(ui_, UpdateOutcome::OlderRelease, text::kOlderRelease,
                         text::olderReleaseCause(signedAt, *record.floor));
        case ReleaseVerdict::AlreadyCurrent: {
            UpdateReport current = ended(ui_, UpdateOutcome::AlreadyCurrent, text::kAlreadyCurrent);
            current.release = text::shownRelease(signedAt, record.installed.hash);
            ftp_.CloseSession();
            return current;
        }
        }
        return std::nullopt;
    }

    UpdateReport downloadAndInstall(install::FileReplacement& replacement,
                                    const std::optional<minisign::Signature>& signature, bool mayRetry)
    {
        if (const install::ReplaceResult begun = replacement.begin(); !begun)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, text::replaceCause(begun));
        ProgramSink sink(replacement, signature.has_value());
        const platform::FtpResult fetched =
            ftp_.FetchFile(remoteName_, sink, [this](std::int64_t received, std::int64_t total) {
                ui_.downloadProgress(received, total);
            });
        ui_.downloadEnded();
        if (!fetched)
            return failed(UpdateOutcome::DownloadFailed, text::kDownloadFailed, fetched);

        install::Release release;
        if (signature) {
            const minisign::Hash hash = sink.hash();
            if (const minisign::Check genuine = signature->verifies(hash); !genuine) {
                if (mayRetry && releaseChanged()) {
                    ui_.AppendStatus(text::kReleaseChanged);
                    return takeRelease(replacement, false);
                }
                return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic,
                             text::because(u"il programma scaricato non è quello che il produttore ha firmato"_s,
                                           genuine.failure));
            }
            release = {signature->timestamp(), minisign::toHex(hash)};
        }
        const install::ReplaceResult committed = replacement.commit(release);
        if (!committed)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, text::replaceCause(committed));

        const bool same = committed.status == install::ReplaceStatus::Unchanged;
        ui_.AppendStatus(same ? text::kAlreadyCurrent : text::kUpdated);
        ui_.setPointer(Pointer::Arrow);
        ftp_.CloseSession();
        // What could not be tidied afterwards, if anything.
        const QString untidy = committed.detail.empty()
                                   ? QString()
                                   : text::because(u"aggiornato, ma non tutto è in ordine"_s, committed.detail);
        return {same ? UpdateOutcome::AlreadyCurrent : UpdateOutcome::Updated, untidy,
                signature ? text::shownRelease(signature->timestamp(), release.hash) : text::unsignedRelease()};
    }

    UpdateUi& ui_;
    platform::FtpClient& ftp_;
    const Config& config_;
};

}  // namespace

platform::FtpOptions downloadOptions(const Config& config)
{
    platform::FtpOptions options = config.ftp;
    const bool signedOnly = config.publicKey.has_value();
    options.allowUnknownSize = signedOnly;
    options.recheckAfter = signedOnly ? std::chrono::milliseconds(0) : std::chrono::milliseconds(1500);
    return options;
}

namespace {

std::chrono::seconds retryWaitBound(const Config& config, int k)
{
    // retry is at most 10 and retry_base_s at most an hour: no overflow.
    const std::chrono::seconds doubled = config.retryBase * (std::int64_t{1} << std::clamp(k, 0, 30));
    return std::min(doubled, config.retryMax);
}

}  // namespace

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, InstallSite& site, const Config& config,
                           bool confirmed, std::span<const LeftRunning> leftRunning)
{
    runlog::LoggedUi logged(ui);
    return runlog::loggedEnd(Update(logged, ftp, config).run(site, confirmed, leftRunning));
}

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, InstallSite& site, const Config& config,
                           bool confirmed, std::span<const LeftRunning> leftRunning, Pacer& pacer)
{
    runlog::LoggedUi logged(ui);
    UpdateReport report = runlog::loggedEnd(Update(logged, ftp, config).run(site, confirmed, leftRunning));
    for (int k = 0; report.mayPass && k < config.retries; ++k) {
        // Whatever the failure left of the session, the next attempt starts
        // from a new one.
        ftp.CloseSession();
        const std::chrono::seconds wait = pacer.random(retryWaitBound(config, k));
        logged.AppendStatus(text::retryIn(wait, k + 1, config.retries));
        if (!pacer.wait(wait, [&logged] { return logged.stopRequested(); }))
            return ended(logged, UpdateOutcome::Interrupted, text::kInterrupted);
        // The operator's Yes, if it was asked, holds for every attempt.
        report = runlog::loggedEnd(Update(logged, ftp, config).run(site, true, leftRunning));
    }
    return report;
}

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed,
                           std::span<const LeftRunning> leftRunning)
{
    const auto site = installSiteBelow(config.root);
    return UpdateCommand(ui, ftp, *site, config, confirmed, leftRunning);
}

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, bool confirmed,
                           std::span<const LeftRunning> leftRunning, Pacer& pacer)
{
    const auto site = installSiteBelow(config.root);
    return UpdateCommand(ui, ftp, *site, config, confirmed, leftRunning, pacer);
}

}  // namespace adv
