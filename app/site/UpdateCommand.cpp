#include "app/site/UpdateCommand.h"

#include <QDateTime>

#include <optional>
#include <string>

#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"
#include "app/core/ProductTable.h"
#include "app/core/RunLog.h"
#include "app/site/Decide.h"
#include "app/site/Pacing.h"
#include "app/site/ProgramSink.h"
#include "app/site/ReadOffer.h"
#include "app/site/SiteReporting.h"
#include "app/site/Stages.h"
#include "app/site/StartupSweep.h"
#include "app/site/UpdateTexts.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// One run of the command, step by step; each step either lets the run go
// on (no report) or ends it with its report.
class Update {
public:
    Update(UpdateUi& ui, platform::FtpClient& ftp, InstallSite& site, const Config& config,
           const UpdateRequest& request, std::int64_t now)
        : ui_(ui), ftp_(ftp), site_(site), config_(config), request_(request), mode_(request.mode), now_(now)
    {
    }

    UpdateReport run(bool ask)
    {
        PointerGuard pointer(ui_);
        if (ask && !ui_.askYesNo(text::kPrompt, text::kQuestionTitle))
            return {UpdateOutcome::Cancelled, {}, {}};
        // On Windows the running program holds its file; on Linux it would go
        // on running the replaced one. Nothing is waited for on the server.
        if (const auto running = runningInstalledProgram(site_, request_.leftRunning); !running.empty())
            return ended(ui_, UpdateOutcome::ProgramRunning, text::kProgramRunning,
                         notClosedLines(running).join(u"; "_s));
        // Before any wait on the server.
        Installation installation = openInstallation(site_, config_, false, mode_ == UpdateMode::Check);
        ui_.showBusyLabel();
        ui_.AppendStatus(text::kConnecting);

        const InterruptScope interrupts(ftp_, ui_);
        if (auto failed = connect())
            return *failed;
        // Checked before anything is downloaded: an update never installs a
        // product that was not there, nor writes outside the root.
        if (!installation.replacement && installation.locked)
            return ended(ui_, UpdateOutcome::NotInstalled, text::kNotInstalled, text::notInstalledCause(config_.root));
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
        offer_.emplace(ui_, ftp_, config_, *installation.replacement);
        return takeRelease(*installation.replacement, /*mayRetry=*/true);
    }

    bool closed() const { return closed_; }
    // What the run learnt of the offer, into its report.
    void told(UpdateReport& r) const
    {
        r.indexRelease = indexRelease_, r.indexSigned = indexSigned_, r.indexExpires = indexExpires_, r.tried = tried_;
    }

private:
    const std::string remoteName_{kUpdatedProgram};
    std::string signatureText_;  // the signature file as judged
    std::optional<ReadOffer> offer_;
    bool closed_ = false;
    std::string indexRelease_, tried_;
    std::int64_t indexSigned_ = 0, indexExpires_ = 0;

    // Only a run that may write keeps what it read of the server.
    void keepMemo(const std::string& installedHash = {})
    {
        if (mode_ != UpdateMode::Check)
            offer_->keep(installedHash);
    }

    // What the server offers, read; then what this site does with it.
    UpdateReport takeRelease(install::FileReplacement& replacement, bool mayRetry)
    {
        identifyInstalled(replacement);
        Situation situation;
        situation.record = replacement.record();
        situation.now = now_;
        situation.group = config_.group;
        situation.mode = mode_;
        situation.keyed = config_.publicKey.has_value();
        situation.maxDownloadBytes = config_.ftp.maxDownloadBytes;
        if (const std::optional<ServerMemo>& memo = offer_->remembered()) {
            situation.programThen = memo->program;
            situation.programThenHash = memo->programHash;
        }
        if (auto failed = offer_->index(situation.offer))
            return *failed;
        keepMemo();
        if (const std::optional<ReleaseIndex>& index = situation.offer.index) {
            indexRelease_ = minisign::toHex(index->hash), indexSigned_ = situation.offer.indexSignedAt;
            if (mode_ == UpdateMode::Check)
                ui_.AppendStatus(text::offeredIndexed(*index, minisign::toHex(index->hash)));
            if (mode_ != UpdateMode::Operator)
                situation.place = [this, &index] { return placeFor(config_, *index); };
        }
        return act(replacement, situation, decide(situation), mayRetry);
    }

    UpdateReport act(install::FileReplacement& replacement, Situation& situation, const Verdict& verdict, bool mayRetry)
    {
        if (situation.offer.index)
            indexExpires_ = offerFreshness(situation).until.value_or(0);
        // Kept at once, whatever happens next.
        if (verdict.note) {
            replacement.noteIndex(verdict.note->signedAt, verdict.note->withdrawn);
            if (const install::ReplaceResult kept = replacement.remember(); !kept)
                runlog::write(text::replaceCause(kept).logged());
        }
        switch (verdict.act) {
        case Act::ReadSignature:
            if (auto failed = offer_->signature(situation.offer, signatureText_))
                return *failed;
            return act(replacement, situation, decide(situation), mayRetry);
        case Act::AskProgram:
        case Act::ReadStatement:
            if (auto failed =
                    verdict.act == Act::AskProgram ? offer_->program(situation.offer) : offer_->statement(situation))
                return *failed;
            return act(replacement, situation, decide(situation), mayRetry);
        case Act::Refuse:
        case Act::Settle:
            if (verdict.act == Act::Refuse)
                return ended(ui_, verdict.outcome, verdict.line, verdict.cause);
            return settled(replacement, verdict);
        case Act::Take:
        case Act::TakeIndexed:
        case Act::Restore: break;
        }
        if (verdict.act != Act::Take)
            tried_ = minisign::toHex(situation.offer.index->hash);
        if (verdict.act == Act::Take)
            return downloadAndInstall(replacement, situation.offer.signature, mayRetry);
        if (verdict.act == Act::TakeIndexed)
            return downloadIndexed(replacement, *situation.offer.index, verdict);
        return restore(replacement, verdict);
    }

    // The new program is here and checked, and will change the installed
    // one: now, and only now, a nightly run closes the programs, for as
    // short a time as can be. One left running that runs the installed file
    // stops it; so does one started again since (by the operator, or a
    // watchdog that restarts it), which would go on running the replaced
    // file, unseen.
    std::optional<UpdateReport> readyToSwap()
    {
        std::vector<LeftRunning> running;
        if (request_.closePrograms && !closed_) {
            closed_ = true;
            running = runningInstalledProgram(site_, request_.closePrograms());
        }
        if (running.empty())
            running = site_.runningTheProgramNow(false);
        if (running.empty())
            return std::nullopt;
        return ended(ui_, UpdateOutcome::ProgramRunning, text::kProgramRunning, notClosedLines(running).join(u"; "_s));
    }

    // One started in the instant between that look and the swap runs the
    // replaced file: the swap is undone, so that it runs the installed one.
    std::optional<UpdateReport> cameBackMeanwhile(install::FileReplacement& replacement)
    {
        const std::vector<LeftRunning> running = site_.runningTheProgramNow(true);
        if (running.empty())
            return std::nullopt;
        Cause why(notClosedLines(running).join(u"; "_s));
        if (const install::ReplaceResult undone = replacement.rollBack(); !undone)
            why += text::replaceCause(undone);
        return ended(ui_, UpdateOutcome::ProgramRunning, text::kProgramRunning, why);
    }

    // An end that installs nothing, with what the index said kept.
    UpdateReport settled(install::FileReplacement& replacement, const Verdict& verdict)
    {
        Cause why = verdict.cause;
        if (verdict.keep) {
            if (const install::ReplaceResult kept = replacement.remember(); !kept)
                why += text::replaceCause(kept);
        }
        ftp_.CloseSession();
        UpdateReport report = ended(ui_, verdict.outcome, verdict.line, why);
        report.release = verdict.release;
        return report;
    }

    // The release the maker went back to is the one this site replaced.
    UpdateReport restore(install::FileReplacement& replacement, const Verdict& verdict)
    {
        ftp_.CloseSession();
        if (auto stopped = readyToSwap())
            return *stopped;
        const install::ReplaceResult swapped = replacement.rollBack();
        if (!swapped)
            return ended(ui_, UpdateOutcome::RollBackFailed, text::kRollBackFailed, text::replaceCause(swapped));
        UpdateReport report =
            ended(ui_, verdict.outcome, verdict.line, swapped.detail.empty() ? Cause() : text::replaceCause(swapped));
        report.release = verdict.release;
        return report;
    }

    // The index's release from its own file, which no upload ever changes:
    // checked against the index's size and hash, and with a key, against
    // its own signature.
    UpdateReport downloadIndexed(install::FileReplacement& replacement, const ReleaseIndex& index,
                                 const Verdict& verdict)
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
        const FetchedRelease fetched = fetchRelease(ftp_, ui_, replacement, name, index);
        if (!fetched.local)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, text::replaceCause(fetched.local));
        if (!fetched.server)
            return failed(UpdateOutcome::DownloadFailed, text::kDownloadFailed, fetched.server);
        const std::optional<minisign::Hash>& hash = fetched.hash;
        if (!hash)
            return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic,
                         u"il programma scaricato non è quello che l'indice del produttore descrive"_s);
        const install::Release release{signature ? std::optional(index.signedAt) : std::nullopt,
                                       minisign::toHex(*hash)};
        UpdateReport report = install(replacement, release, verdict.line);
        if (report.outcome == UpdateOutcome::Updated)
            report.outcome = verdict.outcome;
        return report;
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
        return serverFailed(ui_, config_, outcome, line, why);
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

    UpdateReport downloadAndInstall(install::FileReplacement& replacement,
                                    const std::optional<minisign::Signature>& signature, bool mayRetry)
    {
        if (const install::ReplaceResult begun = replacement.begin(); !begun)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, text::replaceCause(begun));
        ui_.AppendStatus(text::kDownloadStarts);
        ProgramSink sink(replacement, true, std::nullopt, config_.ftp.maxDownloadBytes);
        if (const platform::FtpResult fetched = fetchProgram(ftp_, ui_, remoteName_, sink); !fetched)
            return failed(UpdateOutcome::DownloadFailed, text::kDownloadFailed, fetched);

        const minisign::Hash hash = sink.hash();
        tried_ = minisign::toHex(hash);
        install::Release release{std::nullopt, minisign::toHex(hash)};
        if (signature) {
            if (const minisign::Check genuine = signature->verifies(hash); !genuine) {
                if (mayRetry && releaseChanged()) {
                    ui_.AppendStatus(text::kReleaseChanged);
                    return takeRelease(replacement, false);
                }
                return ended(ui_, UpdateOutcome::NotAuthentic, text::kNotAuthentic,
                             text::because(u"il programma scaricato non è quello che il produttore ha firmato"_s,
                                           genuine.detail));
            }
            release.signedAt = signature->timestamp();
        }
        UpdateReport report = install(replacement, release, {});
        if (!signature && (report.outcome == UpdateOutcome::Updated || report.outcome == UpdateOutcome::AlreadyCurrent))
            keepMemo(release.hash);
        return report;
    }

    // The downloaded program in place; `line` says so when the usual words do not.
    UpdateReport install(install::FileReplacement& replacement, const install::Release& release, const QString& line)
    {
        // The installed release again changes nothing: nothing is closed.
        bool same = !release.hash.empty() && release.hash == replacement.record().installed.hash;
        if (same)
            replacement.abandon();
        else if (auto stopped = readyToSwap()) {
            replacement.abandon();
            return *stopped;
        }
        const install::ReplaceResult committed = same ? install::ReplaceResult{} : replacement.commit(release);
        if (!committed)
            return ended(ui_, UpdateOutcome::DownloadFailed, text::kDownloadFailed, text::replaceCause(committed));
        same = same || committed.status == install::ReplaceStatus::Unchanged;
        if (auto stopped = same ? std::nullopt : cameBackMeanwhile(replacement))
            return *stopped;
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
    InstallSite& site_;
    const Config& config_;
    const UpdateRequest& request_;
    UpdateMode mode_;
    std::int64_t now_;
};

}  // namespace

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, InstallSite& site, const Config& config,
                           const UpdateRequest& request)
{
    const auto now = [&request] { return request.pacer ? request.pacer->now() : QDateTime::currentSecsSinceEpoch(); };
    // The session stays open for the report, which goes at the very end.
    const bool reporting = config.report && !request.reportAs.empty();
    HeldSession held(ftp, reporting);
    const std::int64_t started = now();
    runlog::LoggedUi logged(ui);
    const auto attempt = [&](bool ask) {
        Update update(logged, held, site, config, request, now());
        UpdateReport report = loggedEnd(update.run(ask));
        update.told(report);
        if (request.closePrograms && !update.closed())
            runlog::write(text::kNothingClosed);
        return report;
    };
    // Whatever a failure left of the session, the next attempt starts from a new one.
    UpdateReport report = retried(logged, config, request.pacer, request.mode == UpdateMode::Operator, attempt,
                                  [&held] { held.closeNow(); });
    // The operator's No is no run; a run stopped on request sends nothing
    // more. The report has a budget of its own, within which a stop asked
    // for drops it: a slow server never holds the window or a SIGTERM up.
    if (reporting && report.outcome != UpdateOutcome::Cancelled && report.outcome != UpdateOutcome::Interrupted &&
        !ui.stopRequested()) {
        const auto until = std::chrono::steady_clock::now() + kReportBudget;
        held.setInterruptCheck([&ui, until] { return ui.stopRequested() || std::chrono::steady_clock::now() > until; });
        report.siteReport =
            reportRun(held, site, config, report, {request.reportAs, started, now(), held.reached(), held.bytes()});
        held.setInterruptCheck({});
    }
    return report;
}

UpdateReport UpdateCommand(UpdateUi& ui, platform::FtpClient& ftp, const Config& config, const UpdateRequest& request)
{
    const auto site = installSiteBelow(config.root);
    return UpdateCommand(ui, ftp, *site, config, request);
}

}  // namespace adv
