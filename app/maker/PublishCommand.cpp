#include "app/maker/PublishCommand.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "app/channel/Minisign.h"
#include "app/channel/ServerLayout.h"
#include "app/channel/SiteReport.h"
#include "app/maker/CheckedUpload.h"
#include "app/maker/IndexMemory.h"
#include "app/maker/MakerTexts.h"
#include "app/maker/PublishPlan.h"
#include "app/maker/SecretKey.h"
#include "app/maker/ServerFiles.h"
#include "app/maker/ServerLock.h"
#include "app/maker/ServerStatus.h"
#include "app/maker/Signing.h"

namespace adv {
namespace {

PublishReport refused(Cause why)
{
    return {PublishOutcome::Refused, std::move(why)};
}

PublishReport serverFailed(Cause why)
{
    return {PublishOutcome::ServerFailed, std::move(why)};
}

class Publisher {
public:
    Publisher(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config, std::int64_t now)
        : ui_(ui), config_(config), started_(now), server_(ftp, config), lock_(server_, ui, now)
    {
    }

    PublishReport run(const PublishRequest& request, const AskPassword& askPassword)
    {
        if (request.action == PublishAction::Status)
            return status();
        // The server first: a folder it lacks or an account it refuses is
        // known before the password is asked and anything is signed.
        if (auto failed = connect())
            return *failed;
        if (auto refusal = prepare(request, askPassword)) {
            server_.ftp().CloseSession();
            return refused(*refusal);
        }
        if (auto locked = lock_.take())
            return *locked;
        // Sites judge the dates this machine signs by their own clocks.
        const ClockCheck clock = checkClock(now(), lock_.serverTime());
        if (clock.refused) {
            lock_.release();
            server_.ftp().CloseSession();
            return refused(*clock.refused);
        }
        if (!clock.note.isEmpty())
            say(clock.note);
        PublishFailure failed = offered();
        if (!failed) {
            switch (request.action) {
            case PublishAction::Release: failed = release(request); break;
            case PublishAction::ChangeRollout: failed = changeRollout(request); break;
            case PublishAction::Withdraw: failed = withdraw(request.backTo); break;
            case PublishAction::Refresh: failed = refresh(); break;
            case PublishAction::Status: break;
            }
        }
        const bool refreshing = request.action == PublishAction::Refresh;
        if (!failed && !refreshing)
            prune();
        lock_.release();
        server_.ftp().CloseSession();
        if (failed)
            return *failed;
        if (!refreshing)
            say(makertext::done(index_));
        return {PublishOutcome::Published, {}};
    }

private:
    void say(const QString& line) { ui_.AppendStatus(line); }

    // The clock at the start, gone on by the time since: a password typed
    // slowly does not date what is signed after it.
    std::int64_t now() const
    {
        return started_ +
               std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_).count();
    }

    PublishReport status()
    {
        if (!config_.publicKey)
            return refused(makertext::kNoPublicKeyForStatus);
        if (auto failed = connect())
            return *failed;
        PublishReport report = serverStatus(server_, ui_, now());
        server_.ftp().CloseSession();
        return report;
    }

    // The key, checked against the one sites trust, and for a new release the
    // program and its signature, before anything is sent; a signature the
    // maker brings is checked before any password is asked for.
    Refusal prepare(const PublishRequest& request, const AskPassword& askPassword)
    {
        // --refresh: the refresh key alone, and no password; a weekly task runs it.
        if (const bool only = request.action == PublishAction::Refresh; only || !config_.refreshKey.isEmpty()) {
            if (auto refusal = openRefreshKey(config_, refresh_); refusal || only)
                return refusal;
        }
        const bool release = request.action == PublishAction::Release, given = !request.signatureFile.isEmpty();
        if (release && given) {
            if (auto refusal = takeSignature(config_, request.program, request.signatureFile, now(), files_))
                return refusal;
        }
        const Warn warn = [this](const QString& line) { say(line); };
        if (auto refusal = openKey(config_, askPassword, warn, key_))
            return refusal;
        if (!release)
            return std::nullopt;
        if (!given) {
            if (auto refusal = signProgram(config_, request.program, *key_, now(), files_))
                return refusal;
        }
        files_.describe(index_);
        index_.release = releasePath(releaseFileName(index_.signedAt, index_.hash));
        say(makertext::programSigned(index_.signedAt, index_.release));
        return std::nullopt;
    }

    PublishFailure connect()
    {
        say(makertext::connecting(config_.host));
        if (const platform::FtpResult opened = server_.open([this] { return ui_.stopRequested(); }); !opened)
            return PublishReport{PublishOutcome::ConnectFailed, text::ftpCause(opened, config_)};
        return std::nullopt;
    }

    // The release on the server now: from its index, else from the pair
    // today's sites read.
    PublishFailure offered()
    {
        std::int64_t served = 0;
        if (const auto stored = server_.fetch(kIndexName, kMaxIndexBytes)) {
            StoredIndex read = readStoredIndex(*stored, config_.publicKey);
            if (!read.authentic || !read.index)
                return refused(makertext::kIndexNotOurs);
            servedText_ = openedIndex(*stored)->second;
            offeredAt_ = bounded(read.index->signedAt);
            previous_ = std::move(read.index);
            served = servedIndexAt_ = read.signedAt;
        }
        if (IndexMemory memory = recallIndex(config_, served); memory.refused)
            return serverFailed(std::move(*memory.refused));
        if (previous_)
            return std::nullopt;
        if (const auto legacy = pairSignature())
            offeredAt_ = bounded(legacy->timestamp());
        return std::nullopt;
    }

    // Sites refuse a release dated this far ahead: it holds no site, and
    // must not hold the maker either.
    std::int64_t bounded(std::int64_t offered)
    {
        if (offered <= now() + kFutureSlackSeconds)
            return offered;
        say(makertext::offerAhead(offered));
        return 0;
    }

    // The pair's signature, when it is the maker's; its program is not read.
    std::optional<minisign::Signature> pairSignature()
    {
        const auto legacy = server_.fetch(signatureName(kUpdatedProgram), minisign::kMaxSignatureBytes);
        if (!legacy)
            return std::nullopt;
        return minisign::Signature::check(*legacy, *config_.publicKey, kUpdatedProgram).signature;
    }

    // Nothing older may be published over what the server offers.
    PublishFailure release(const PublishRequest& request)
    {
        if (offeredAt_ >= index_.signedAt)
            return refused(makertext::notNewer(offeredAt_, index_.signedAt));
        Planned planned = releasePlanned(previous_, index_, request.rollout, now(), request.reinstate);
        if (!planned.index)
            return refused(planned.refused);
        if (previous_ && previous_->isWithdrawn(index_.hash))
            say(makertext::reinstated(index_.signedAt));
        index_ = std::move(*planned.index);
        if (auto failed = putRelease())
            return failed;
        return putIndexAndPair();
    }

    // The current release under another plan; once it reaches every site,
    // also as the pair today's sites read.
    PublishFailure changeRollout(const PublishRequest& request)
    {
        if (!previous_)
            return refused(makertext::kNoIndexToChange);
        if (request.resumeKept && !previous_->keptPlan)
            return refused(previous_->rollout.paused ? makertext::kNoKeptPlan : makertext::kResumeNotPaused);
        Planned planned = planChanged(*previous_, request.resumeKept ? *previous_->keptPlan : request.rollout, now());
        if (!planned.index)
            return refused(planned.refused);
        index_ = std::move(*planned.index);
        if (toEverySite()) {
            std::optional<ReleaseFiles> kept = server_.keptRelease(index_.release);
            if (!kept)
                return serverFailed(makertext::releaseUnreadable(index_.release));
            // What the server keeps under the release's name must be the
            // release the index names, not another the maker signed once.
            if (!kept->describedBy(*previous_))
                return serverFailed(makertext::keptNotIndexed(index_.release));
            files_ = std::move(*kept);
        }
        return putIndexAndPair();
    }

    // The current release withdrawn, for every site, for the release it
    // replaced or the one the maker names: a signed decision of the maker,
    // the one way sites go back past their floor. The server's listing only
    // says where to look; the target is the one the maker's word names.
    PublishFailure withdraw(const std::string& backTo)
    {
        if (!previous_)
            return refused(makertext::kNoIndexToWithdraw);
        const WithdrawTarget target = withdrawTarget(*previous_, backTo);
        if (target.refused)
            return refused(*target.refused);
        std::optional<ReleaseFiles> found;
        ReleaseIndex back;
        for (const std::string& name : server_.releaseNames()) {
            if (found || releaseHashStart(name) != std::string_view(target.hex).substr(0, 8))
                continue;
            back.release = releasePath(name);
            if (auto kept = server_.keptRelease(back.release); kept && isTarget(kept->hash, target.hex))
                found = std::move(kept);
        }
        if (!found)
            return refused(makertext::targetNotKept(target.hex));
        found->describe(back);
        Planned planned = withdrawnFor(*previous_, back);
        if (!planned.index)
            return refused(planned.refused);
        index_ = std::move(*planned.index);
        files_ = std::move(*found);
        if (const auto pair = pairSignature(); pair && pair->verifies(previous_->hash))
            say(makertext::kWithdrawnStillPaired);
        return putIndexAndPair();
    }

    QString visible() const
    {
        return previous_ ? makertext::visibleIndex(previous_->release) : makertext::kVisiblePair;
    }

    PublishFailure putRelease()
    {
        if (platform::FtpResult made; !server_.enterMade(kReleaseFolderName, made))
            return serverFailed(makertext::serverCause(makertext::kReleaseFolderNotMade, made, config_));
        const std::string name(releaseFileOf(index_.release));
        PublishFailure failed = putChecked(server_, ui_, name, files_.program, visible());
        if (!failed)
            failed = putChecked(server_, ui_, signatureName(name), files_.signature, visible());
        // Where the sites leave their reports, made with the first release.
        if (platform::FtpResult made; !failed && !server_.enterMade(kReportFolderName, made))
            say(makertext::kReportFolderNotMade);
        server_.enter();
        return failed;
    }

    // The index, then, when the plan reaches every site, the pair today's
    // sites read: the program first, so that no site ever sees a signature
    // of a program not yet there. Each only while the lock is still ours.
    PublishFailure putIndexAndPair()
    {
        if (auto lost = lock_.stillHeld())
            return lost;
        const std::int64_t signingTime = indexSigningTime(now(), servedIndexAt_);
        if (servedIndexAt_ > now() && signingTime > now())
            say(makertext::indexDatedAfter(signingTime));
        // Written by the main key with the rest: only so is the refresh key one.
        index_.validDays = refresh_ ? config_.indexValidDays : 0;
        index_.refreshKey = refresh_ ? std::optional(refresh_->publicKey()) : std::nullopt;
        const std::string text = index_.text();
        const std::string signature =
            key_->sign(minisign::hashOf(text), minisign::trustedComment(signingTime, kIndexName));
        const std::string sealed = sealedIndex(signature, text);
        if (auto failed = putChecked(server_, ui_, kIndexName, sealed, visible()))
            return failed;
        if (!rememberIndex(config_, sealed))
            say(makertext::memoryNotWritten(indexMemoryFolder(config_)));
        if (!toEverySite() || pairCarries())
            return std::nullopt;
        if (auto lost = lock_.stillHeld())
            return lost;
        if (auto failed = putChecked(server_, ui_, std::string(kUpdatedProgram), files_.program, visible()))
            return failed;
        return putChecked(server_, ui_, signatureName(kUpdatedProgram), files_.signature, visible());
    }

    // The server's index text, as the main key signed it, signed again by the
    // refresh key, which the index must name: it holds for its days from now.
    PublishFailure refresh()
    {
        if (!previous_)
            return refused(makertext::kNoIndexToRefresh);
        if (previous_->refreshKey != refresh_->publicKey())
            return refused(makertext::kIndexNamesAnotherKey);
        const std::int64_t at = now();
        const std::string statement =
            refresh_->sign(minisign::hashOf(servedText_), minisign::trustedComment(at, kFreshName));
        if (auto failed = putChecked(server_, ui_, kFreshName, statement, visible()))
            return failed;
        say(makertext::refreshed(at + std::int64_t{previous_->validDays} * 86400));
        return std::nullopt;
    }

    // Every site may take the release now; one signed a little ahead of
    // this clock counts as now, as sites allow.
    bool toEverySite() const { return index_.rollout.everyoneAt(index_.signedAt, std::max(now(), index_.signedAt)); }

    // The pair already carries the release when its signature, the maker's,
    // is of this release's hash at its signed time, and its program is that
    // release to the byte: sending them again would change nothing. A cut
    // between the pair's renames leaves a program of the same size.
    bool pairCarries()
    {
        const std::string name(kUpdatedProgram);
        if (!server_.looksLike(name, index_))
            return false;
        const auto program = server_.fetch(name, index_.size);
        return program && minisign::hashOf(*program) == index_.hash;
    }

    // The newest keep_releases release files stay, and always the index's;
    // leftovers of a cut publish go too.
    void prune()
    {
        for (const std::string_view folder : {std::string_view{}, kReleaseFolderName}) {
            const std::vector<std::string> names = server_.namesIn(folder);
            if (!server_.enter(folder))
                return;
            for (const std::string& name : names) {
                if (isLeftover(name, !folder.empty()))
                    (void)server_.ftp().Delete(name);
            }
        }
        const std::vector<std::string> gone = prunable(server_.releaseNames(), config_.keepReleases, index_);
        if (!server_.enter(kReleaseFolderName))
            return;
        for (const std::string& name : gone) {
            say(makertext::pruned(name));
            (void)server_.ftp().Delete(name);
            (void)server_.ftp().Delete(signatureName(name));
        }
        server_.enter();
    }

    UpdateUi& ui_;
    const Config& config_;
    std::int64_t started_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    ServerFiles server_;
    ServerLock lock_;
    std::optional<minisign::SecretKey> key_;
    std::optional<minisign::SecretKey> refresh_;  // the refresh key, when one is configured
    std::string servedText_;                      // the server's index text, as the main key signed it
    ReleaseFiles files_;                          // the release's program and signature, as sites get them
    ReleaseIndex index_;
    std::optional<ReleaseIndex> previous_;
    std::int64_t offeredAt_ = 0;
    std::int64_t servedIndexAt_ = 0;  // when the server's index was signed
};

}  // namespace

PublishReport PublishCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config,
                             const PublishRequest& request,
                             const std::function<std::optional<std::string>()>& askPassword, std::int64_t now)
{
    return Publisher(ui, ftp, config, now).run(request, askPassword);
}

}  // namespace adv
