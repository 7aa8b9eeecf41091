#include "app/site/UpdateCommand.h"

#include <QDateTime>

#include <algorithm>
#include <optional>
#include <string>

#include "app/core/Config.h"
#include "app/channel/Minisign.h"
#include "app/site/Pacing.h"
#include "app/core/ProductTable.h"
#include "app/site/ReleaseGate.h"
#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/site/Stages.h"
#include "app/core/RunLog.h"
#include "app/site/StartupSweep.h"
#include "app/site/UpdateTexts.h"

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
// one, and to its hash when something will check it.
class ProgramSink final : public platform::FtpSink {
public:
    // `whole`: the whole file's size, when the caller knows it and its hash
    // already; no more is written, whatever size the server gives. Else at
    // most `limit`.
    ProgramSink(install::FileReplacement& file, bool hashing, std::optional<std::int64_t> whole, std::int64_t limit)
        : file_(file), whole_(whole), limit_(limit)
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
        size_ += static_cast<std::int64_t>(size);
        return {};
    }
    bool checksWhole() const override { return whole_.has_value(); }
    std::int64_t capacity() const override { return whole_.value_or(limit_); }
    minisign::Hash hash() { return hash_->final(); }
    std::int64_t size() const { return size_; }

private:
    install::FileReplacement& file_;
    std::optional<std::int64_t> whole_;
    std::int64_t limit_;
    std::optional<minisign::StreamHash> hash_;
    std::int64_t size_ = 0;
};

// The index is only ever put in place whole, by a rename, and one cut short
// does not read: the session need not wait to ask about it again.
class IndexSink final : public platform::FtpSink {
public:
    platform::FtpResult take(const char* data, std::size_t size) override
    {
        text.append(data, size);
        return {};
    }
    std::int64_t capacity() const override { return static_cast<std::int64_t>(kMaxIndexBytes); }
    bool checksWhole() const override { return true; }
    std::string text;
};

bool holds(const std::vector<std::string>& hashes, const std::string& hash)
{
    return !hash.empty() && std::find(hashes.begin(), hashes.end(), hash) != hashes.end();
}

// One run of the command, step by step; each step either lets the run go
// on (no report) or ends it with its report.
class Update {
public:
    Update(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, UpdateMode mode, std::int64_t now)
        : ui_(ui), ftp_(ftp), config_(config), mode_(mode), now_(now)
    {
    }

    UpdateReport run(InstallSite& site, bool ask, std::span<const LeftRunning> leftRunning)
    {
        PointerGuard pointer(ui_);
        if (ask && !ui_.askYesNo(text::kPrompt, text::kQuestionTitle))
            return {UpdateOutcome::Cancelled, {}, {}};
        // On Windows the running program holds its file; on Linux it would go
        // on running the replaced one. Nothing is waited for on the server.
        if (const auto running = runningInstalledProgram(site, leftRunning); !running.empty())
            return ended(ui_, UpdateOutcome::ProgramRunning, text::kProgramRunning,
                         notClosedLines(running).join(u"; "_s));
        // Before any wait on the server.
        Installation installation = openInstallation(site, config_, false, mode_ == UpdateMode::Check);
        ui_.showBusyLabel();
        ui_.AppendStatus(text::kConnecting);

        const InterruptScope interrupts(ftp_, ui_);
        if (auto failed = connect())
            return *failed;
        // Checked before anything is downloaded: an update never installs a
        // product that was not there, nor writes outside the root.
        if (!installation.replacement && installation.locked)
            return ended(ui_, UpdateOutcome::NotInstalled, text::kNotInstalled, text::notInstalledCause(config_.root));
        if (mode_ != UpdateMode::Check)
            ui_.AppendStatus(text::kDownloadStarts);
        if (installation.locked.status == install::ReplaceStatus::Damaged)
            return ended(ui_, UpdateOutcome::RecordDamaged, text::kRecordDamaged,
                         text::replaceCause(installation.locked));
        if (installation.locked.status == install::ReplaceStatus::Busy)
            return ended(ui_, UpdateOutcome::AnotherUpdate, text::kAnotherUpdate);
        if (!installation.locked)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed,
                         text::replaceCause(installation.locked));
        if (mode_ == UpdateMode::Check)
            ui_.AppendStatus(text::installedRelease(installation.replacement->record().installed));
        return takeRelease(*installation.replacement, /*mayRetry=*/true);
    }

private:
    const std::string remoteName_{kUpdatedProgram};
    std::string signatureText_;  // the signature file as judged

    UpdateReport takeRelease(install::FileReplacement& replacement, bool mayRetry)
    {
        std::optional<StoredIndex> offered;
        if (auto failed = readIndex(offered))
            return *failed;
        if (offered)
            return followIndex(replacement, *offered->index, offered->signedAt);
        // Once the maker's index was seen here, a server without it would
        // skip the plan, a pause or a withdrawal.
        if (config_.publicKey && replacement.record().indexSeen)
            return ended(ui_, UpdateOutcome::OlderRelease, text::kOlderRelease, text::kIndexGoneCause);
        std::optional<minisign::Signature> signature;
        if (config_.publicKey) {
            if (auto refused = judgeSignature(replacement.record(), signature))
                return *refused;
        }
        if (mode_ == UpdateMode::Check)
            return available(signature ? text::offeredRelease(signature->timestamp()) : text::kOfferedUnsigned);
        return downloadAndInstall(replacement, signature, mayRetry);
    }

    // The maker's index, when the server offers one. Without one, or in a
    // form this program does not read (a later one), the pair today's sites
    // read is taken instead.
    std::optional<UpdateReport> readIndex(std::optional<StoredIndex>& offered)
    {
        IndexSink stored;
        const platform::FtpResult got = ftp_.FetchFile(kIndexName, stored);
        if (got.failure == platform::FtpFailure::RemoteFile)
            return std::nullopt;
        if (!got)
            return failed(UpdateOutcome::DownloadFailed, text::kDownloadFailed, got);
        StoredIndex read = readStoredIndex(stored.text, config_.publicKey);
        if (config_.publicKey && !read.authentic)
            return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic, read.cause);
        if (!read.index) {
            runlog::write(
                Cause(u"l'indice del server non si legge; si prende dolvo.exe"_s, read.cause.logged()).logged());
            return std::nullopt;
        }
        offered = std::move(read);
        return std::nullopt;
    }

    // What the maker's index says this site does now. `indexSignedAt` is
    // known (and the index the maker's) only with a key.
    UpdateReport followIndex(install::FileReplacement& replacement, const ReleaseIndex& index,
                             std::int64_t indexSignedAt)
    {
        const install::ReleaseRecord record = replacement.record();
        const std::string offered = minisign::toHex(index.hash);
        if (mode_ == UpdateMode::Check)
            ui_.AppendStatus(text::offeredIndexed(index, offered));
        if (config_.publicKey) {
            if (const std::int64_t latest = std::max(index.signedAt, indexSignedAt);
                latest > now_ + kFutureSlackSeconds)
                return ended(ui_, UpdateOutcome::FutureRelease, text::futureRelease(latest, now_),
                             text::futureReleaseCause(latest, now_));
            if (record.indexSeen && indexSignedAt < *record.indexSeen)
                return ended(ui_, UpdateOutcome::OlderRelease, text::kOlderRelease,
                             text::olderIndexCause(indexSignedAt, *record.indexSeen));
        }
        if (holds(record.withdrawn, offered))
            return ended(ui_, UpdateOutcome::OlderRelease, text::kOlderRelease, text::kWithdrawnOfferedCause);
        std::vector<std::string> withdrawn;
        for (const minisign::Hash& hash : index.withdrawn)
            withdrawn.push_back(minisign::toHex(hash));
        // Kept at once, whatever happens next; only what the maker signed.
        if (mode_ != UpdateMode::Check && config_.publicKey) {
            replacement.noteIndex(indexSignedAt, withdrawn);
            if (const install::ReplaceResult kept = replacement.remember(); !kept)
                runlog::write(text::replaceCause(kept).logged());
        }
        // The maker's withdrawal is the one way past the floor.
        const bool back = holds(withdrawn, record.installed.hash) || holds(record.withdrawn, record.installed.hash);
        if (record.installed.hash == offered)
            return settled(replacement, UpdateOutcome::AlreadyCurrent, text::kAlreadyCurrent);
        if (!back && index.rollout.paused)
            return settled(replacement, UpdateOutcome::Paused, text::kPaused);
        if (!back && record.floor && index.signedAt < *record.floor)
            return settled(replacement, UpdateOutcome::OlderRelease, text::kOlderRelease,
                           text::olderReleaseCause(index.signedAt, *record.floor));
        if (!back && mode_ != UpdateMode::Operator) {
            const SiteId site = siteId(config_, siteIdFile(config_));
            if (!site.cause.isEmpty())
                runlog::write(site.cause.logged());
            const std::int64_t due = dueFrom(index, sitePlace(site.id, index.hash), config_.group).value_or(0);
            if (now_ < due)
                return mode_ == UpdateMode::Check ? available(text::notDue(due))
                                                  : settled(replacement, UpdateOutcome::NotDue, text::notDue(due));
        }
        if (mode_ == UpdateMode::Check)
            return available(back ? text::withdrawnHere(index.signedAt) : text::kUpdateAvailable);
        if (back && record.previous.hash == offered)
            return restore(replacement, index);
        return downloadIndexed(replacement, index, back);
    }

    // An end that installs nothing, with what the index said kept.
    UpdateReport settled(install::FileReplacement& replacement, UpdateOutcome outcome, const QString& line,
                         Cause cause = {})
    {
        Cause why = std::move(cause);
        if (mode_ != UpdateMode::Check) {
            if (const install::ReplaceResult kept = replacement.remember(); !kept)
                why += text::replaceCause(kept);
        }
        ftp_.CloseSession();
        return ended(ui_, outcome, line, why);
    }

    UpdateReport available(const QString& line)
    {
        ftp_.CloseSession();
        return ended(ui_, UpdateOutcome::UpdateAvailable, line);
    }

    // The release the maker went back to is the one this site replaced.
    UpdateReport restore(install::FileReplacement& replacement, const ReleaseIndex& index)
    {
        ftp_.CloseSession();
        const install::ReplaceResult swapped = replacement.rollBack();
        if (!swapped)
            return ended(ui_, UpdateOutcome::RollBackFailed, text::kRollBackFailed, text::replaceCause(swapped));
        UpdateReport report = ended(ui_, UpdateOutcome::Restored, text::restored(index.signedAt),
                                    swapped.detail.empty() ? Cause() : text::replaceCause(swapped));
        report.release = text::shownRelease(index.signedAt, minisign::toHex(index.hash));
        return report;
    }

    // The index's release from its own file, which no upload ever changes:
    // checked against the index's size and hash, and with a key, against
    // its own signature.
    UpdateReport downloadIndexed(install::FileReplacement& replacement, const ReleaseIndex& index, bool back)
    {
        const std::string name = std::string(releaseFileOf(index.release));
        if (const platform::FtpResult entered =
                ftp_.EnterRemoteFolder(config_.remoteFolder + "/" + std::string(kReleaseFolderName));
            !entered)
            return failed(UpdateOutcome::DownloadFailed, text::kDownloadFailed, entered);
        std::optional<minisign::Signature> signature;
        if (config_.publicKey) {
            platform::MemorySink text(minisign::kMaxSignatureBytes);
            if (const platform::FtpResult got = ftp_.FetchFile(signatureName(name), text); !got)
                return failed(UpdateOutcome::DownloadFailed, text::kDownloadFailed, got);
            signature = minisign::Signature::check(text.contents(), *config_.publicKey, remoteName_).signature;
            if (!signature || signature->timestamp() != index.signedAt || !signature->verifies(index.hash))
                return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic,
                             u"la firma della versione non è del produttore, o non è quella dell'indice"_s);
        }
        if (const install::ReplaceResult begun = replacement.begin(); !begun)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, text::replaceCause(begun));
        ProgramSink sink(replacement, true, index.size, index.size);
        const platform::FtpResult fetched = fetchInto(name, sink);
        if (!fetched)
            return failed(UpdateOutcome::DownloadFailed, text::kDownloadFailed, fetched);
        const minisign::Hash hash = sink.hash();
        if (hash != index.hash || sink.size() != index.size)
            return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic,
                         u"il programma scaricato non è quello che l'indice del produttore descrive"_s);
        const install::Release release{signature ? std::optional(index.signedAt) : std::nullopt, minisign::toHex(hash)};
        UpdateReport report = install(replacement, release, back ? text::restored(index.signedAt) : QString());
        if (report.outcome == UpdateOutcome::Updated && back)
            report.outcome = UpdateOutcome::Restored;
        return report;
    }

    platform::FtpResult fetchInto(const std::string& name, ProgramSink& sink)
    {
        const platform::FtpResult fetched = ftp_.FetchFile(
            name, sink, [this](std::int64_t received, std::int64_t total) { ui_.downloadProgress(received, total); });
        ui_.downloadEnded();
        return fetched;
    }

    // The maker's publish puts the program in place just before its
    // signature: a site in between holds the old signature and gets the new
    // program. Then the signature on the server is no longer the one judged.
    bool releaseChanged()
    {
        platform::MemorySink now(minisign::kMaxSignatureBytes);
        return ftp_.FetchFile(signatureName(remoteName_), now) && now.contents() != signatureText_;
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
        const platform::FtpResult got = ftp_.FetchFile(signatureName(remoteName_), text);
        if (got.failure == platform::FtpFailure::RemoteFile || got.failure == platform::FtpFailure::Size)
            return ended(ui_, UpdateOutcome::SignatureMissing, text::kSignatureMissing,
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
        const std::int64_t now = now_;
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
        ProgramSink sink(replacement, signature.has_value(), std::nullopt, config_.ftp.maxDownloadBytes);
        if (const platform::FtpResult fetched = fetchInto(remoteName_, sink); !fetched)
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
        return install(replacement, release, {});
    }

    // The downloaded program in place; `line` says so when the usual words do not.
    UpdateReport install(install::FileReplacement& replacement, const install::Release& release, const QString& line)
    {
        const install::ReplaceResult committed = replacement.commit(release);
        if (!committed)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, text::replaceCause(committed));

        const bool same = committed.status == install::ReplaceStatus::Unchanged;
        ui_.AppendStatus(!line.isEmpty() ? line : same ? text::kAlreadyCurrent : text::kUpdated);
        ui_.setPointer(Pointer::Arrow);
        ftp_.CloseSession();
        // What could not be tidied afterwards, if anything.
        const Cause untidy = committed.detail.empty()
                                 ? Cause()
                                 : text::because(u"aggiornato, ma non tutto è in ordine"_s, committed.detail);
        return {same ? UpdateOutcome::AlreadyCurrent : UpdateOutcome::Updated, untidy,
                release.signedAt ? text::shownRelease(*release.signedAt, release.hash) : text::unsignedRelease()};
    }

    UpdateUi& ui_;
    platform::FtpClient& ftp_;
    const Config& config_;
    UpdateMode mode_;
    std::int64_t now_;
};

}  // namespace

platform::FtpOptions downloadOptions(const Config& config)
{
    platform::FtpOptions options = config.ftp;
    const bool signedOnly = config.publicKey.has_value();
    options.download = {.allowUnknownSize = signedOnly,
                        .recheckAfter = std::chrono::milliseconds(signedOnly ? 0 : 1500)};
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
                           const UpdateRequest& request)
{
    runlog::LoggedUi logged(ui);
    const auto attempt = [&](bool ask) {
        const std::int64_t now = request.pacer ? request.pacer->now() : QDateTime::currentSecsSinceEpoch();
        return loggedEnd(Update(logged, ftp, config, request.mode, now).run(site, ask, request.leftRunning));
    };
    UpdateReport report = attempt(request.mode == UpdateMode::Operator);
    for (int k = 0; request.pacer && report.mayPass && k < config.retries; ++k) {
        // A retry never closes in on the operators' working hours.
        const std::int64_t next = request.pacer->now() + retryWaitBound(config, k).count();
        if (config.workingHours && withinWorkingHours(*config.workingHours, request.pacer->minuteOfDay(next))) {
            logged.AppendStatus(text::workingHoursNow(*config.workingHours));
            break;
        }
        // Whatever the failure left of the session, the next attempt starts
        // from a new one.
        ftp.CloseSession();
        const std::chrono::seconds wait = request.pacer->random(retryWaitBound(config, k));
        logged.AppendStatus(text::retryIn(wait, k + 1, config.retries));
        if (!request.pacer->wait(wait, [&logged] { return logged.stopRequested(); }))
            return ended(logged, UpdateOutcome::Interrupted, text::kInterrupted);
        // The operator's Yes, if it was asked, holds for every attempt.
        report = attempt(false);
    }
    return report;
}

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, const UpdateRequest& request)
{
    const auto site = installSiteBelow(config.root);
    return UpdateCommand(ui, ftp, *site, config, request);
}

}  // namespace adv
