#include "app/maker/PublishCommand.h"

#include <algorithm>
#include <vector>

#include "app/channel/Minisign.h"
#include "app/channel/ServerLayout.h"
#include "app/maker/CheckedUpload.h"
#include "app/maker/IndexMemory.h"
#include "app/maker/MakerTexts.h"
#include "app/maker/SecretKey.h"
#include "app/maker/ServerFiles.h"
#include "app/maker/ServerLock.h"
#include "app/maker/ServerStatus.h"
#include "app/maker/Signing.h"

namespace adv {
namespace {

bool goesToEverySite(const Rollout& rollout)
{
    return !rollout.paused && rollout.stages.size() == 1 && rollout.stages.front().delay.count() == 0;
}

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
        : ui_(ui), config_(config), now_(now), server_(ftp, config), lock_(server_, ui, now)
    {
    }

    PublishReport run(const PublishRequest& request, const AskPassword& askPassword)
    {
        if (request.action == PublishAction::Status)
            return status();
        if (auto refusal = prepare(request, askPassword))
            return refused(*refusal);
        if (auto failed = connect())
            return *failed;
        if (auto locked = lock_.take())
            return *locked;
        PublishFailure failed = offered();
        if (!failed) {
            switch (request.action) {
            case PublishAction::Release: failed = release(request.rollout); break;
            case PublishAction::ChangeRollout: failed = changeRollout(request.rollout); break;
            case PublishAction::Withdraw: failed = withdraw(); break;
            case PublishAction::Status: break;
            }
        }
        if (!failed)
            prune();
        lock_.release();
        server_.ftp().CloseSession();
        if (failed)
            return *failed;
        say(makertext::done(index_));
        return {PublishOutcome::Published, {}};
    }

private:
    void say(const QString& line) { ui_.AppendStatus(line); }

    PublishReport status()
    {
        if (!config_.publicKey)
            return refused(makertext::kNoPublicKeyForStatus);
        if (auto failed = connect())
            return *failed;
        PublishReport report = serverStatus(server_, ui_, now_);
        server_.ftp().CloseSession();
        return report;
    }

    // The key, checked against the one sites trust, and for a new release the
    // program and its signature, before anything is sent; a signature the
    // maker brings is checked before any password is asked for.
    Refusal prepare(const PublishRequest& request, const AskPassword& askPassword)
    {
        const bool release = request.action == PublishAction::Release, given = !request.signatureFile.isEmpty();
        if (release && given) {
            if (auto refusal = takeSignature(config_, request.program, request.signatureFile, now_, files_))
                return refusal;
        }
        const Warn warn = [this](const QString& line) { say(line); };
        if (auto refusal = openKey(config_, askPassword, warn, key_))
            return refusal;
        if (!release)
            return std::nullopt;
        if (!given) {
            if (auto refusal = signProgram(config_, request.program, *key_, now_, files_))
                return refusal;
        }
        files_.describe(index_);
        index_.release = releasePath(releaseFileName(index_.signedAt, index_.hash));
        say(makertext::programSigned(index_.signedAt, index_.release));
        return std::nullopt;
    }

    PublishFailure connect()
    {
        platform::FtpPublishSession& ftp = server_.ftp();
        ftp.setHostname(config_.host);
        ftp.setUsername(config_.user);
        ftp.setPassword(config_.password);
        ftp.setInterruptCheck([this] { return ui_.stopRequested(); });
        say(makertext::connecting(config_.host));
        if (const platform::FtpResult opened = ftp.OpenSession(); !opened)
            return PublishReport{PublishOutcome::ConnectFailed, text::ftpCause(opened, config_)};
        if (const platform::FtpResult entered = ftp.EnterRemoteFolder(config_.remoteFolder); !entered)
            return PublishReport{PublishOutcome::ConnectFailed, text::ftpCause(entered, config_)};
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
            offeredAt_ = read.index->signedAt;
            previous_ = std::move(read.index);
            served = read.signedAt;
        }
        if (IndexMemory memory = recallIndex(config_, served); memory.refused)
            return serverFailed(std::move(*memory.refused));
        if (previous_)
            return std::nullopt;
        if (const auto legacy = server_.fetch(signatureName(kUpdatedProgram), minisign::kMaxSignatureBytes)) {
            const minisign::Checked checked = minisign::Signature::check(*legacy, *config_.publicKey, kUpdatedProgram);
            offeredAt_ = checked.signature ? checked.signature->timestamp() : 0;
        }
        return std::nullopt;
    }

    // Nothing older may be published over what the server offers.
    PublishFailure release(const Rollout& rollout)
    {
        if (offeredAt_ >= index_.signedAt)
            return refused(makertext::notNewer(offeredAt_, index_.signedAt));
        if (previous_)
            index_.withdrawn = previous_->withdrawn;
        if (auto failed = putRelease())
            return failed;
        return putIndexAndPair(rollout);
    }

    // The current release under another plan; once it reaches every site,
    // also as the pair today's sites read.
    PublishFailure changeRollout(const Rollout& rollout)
    {
        if (!previous_)
            return refused(makertext::kNoIndexToChange);
        index_ = *previous_;
        if (goesToEverySite(rollout)) {
            std::optional<ReleaseFiles> kept = server_.keptRelease(index_.release);
            if (!kept)
                return serverFailed(makertext::releaseUnreadable(index_.release));
            // What the server keeps under the release's name must be the
            // release the index names, not another the maker signed once.
            if (!kept->describedBy(*previous_))
                return serverFailed(makertext::keptNotIndexed(index_.release));
            kept->describe(index_);
            files_ = std::move(*kept);
        }
        return putIndexAndPair(rollout);
    }

    // The newest kept release before the current one becomes current, for
    // every site, and the current one is listed as withdrawn: a signed
    // decision of the maker, the one way sites go back past their floor.
    PublishFailure withdraw()
    {
        if (!previous_)
            return refused(makertext::kNoIndexToWithdraw);
        const std::string current(releaseFileOf(previous_->release));
        const std::vector<minisign::Hash>& withdrawn = previous_->withdrawn;
        // The newest before it that is older by its signature and was not
        // withdrawn itself: a release withdrawn once stays kept a while.
        const std::vector<std::string> names = server_.releaseNames();
        ReleaseIndex older;
        std::optional<ReleaseFiles> found;
        for (auto name = names.rbegin(); name != names.rend() && !found; ++name) {
            if (releaseTime(*name) >= releaseTime(current))
                continue;
            older.release = releasePath(*name);
            std::optional<ReleaseFiles> kept = server_.keptRelease(older.release);
            if (!kept)
                return serverFailed(makertext::releaseUnreadable(older.release));
            if (kept->signedAt < previous_->signedAt &&
                std::find(withdrawn.begin(), withdrawn.end(), kept->hash) == withdrawn.end())
                found = std::move(kept);
        }
        if (!found)
            return refused(makertext::nothingOlder(current));
        found->describe(older);
        older.withdrawn = withdrawn;
        older.withdrawn.push_back(previous_->hash);
        index_ = older;
        files_ = std::move(*found);
        const auto legacy = server_.fetch(std::string(kUpdatedProgram), config_.ftp.maxDownloadBytes);
        if (legacy && minisign::hashOf(*legacy) == older.withdrawn.back())
            say(makertext::kWithdrawnStillPaired);
        return putIndexAndPair(Rollout{});
    }

    QString visible() const
    {
        return previous_ ? makertext::visibleIndex(previous_->release) : makertext::kVisiblePair;
    }

    PublishFailure putRelease()
    {
        if (!server_.enter(kReleaseFolderName)) {
            if (const platform::FtpResult made = server_.ftp().MakeFolder(std::string(kReleaseFolderName));
                !made || !server_.enter(kReleaseFolderName))
                return serverFailed(makertext::serverCause(makertext::kReleaseFolderNotMade, made, config_));
        }
        const std::string name(releaseFileOf(index_.release));
        PublishFailure failed = putChecked(server_, ui_, name, files_.program, visible());
        if (!failed)
            failed = putChecked(server_, ui_, signatureName(name), files_.signature, visible());
        server_.enter();
        return failed;
    }

    // The index, then, when the plan reaches every site, the pair today's
    // sites read: the program first, so that no site ever sees a signature
    // of a program not yet there. Each only while the lock is still ours.
    PublishFailure putIndexAndPair(const Rollout& rollout)
    {
        if (auto lost = lock_.stillHeld())
            return lost;
        index_.rollout = rollout;
        const std::string text = index_.text();
        const std::string signature = key_->sign(minisign::hashOf(text), minisign::trustedComment(now_, kIndexName));
        const std::string sealed = sealedIndex(signature, text);
        if (auto failed = putChecked(server_, ui_, kIndexName, sealed, visible()))
            return failed;
        if (!rememberIndex(config_, sealed))
            say(makertext::memoryNotWritten(indexMemoryFolder(config_)));
        if (!goesToEverySite(rollout))
            return std::nullopt;
        if (auto lost = lock_.stillHeld())
            return lost;
        if (auto failed = putChecked(server_, ui_, std::string(kUpdatedProgram), files_.program, visible()))
            return failed;
        return putChecked(server_, ui_, signatureName(kUpdatedProgram), files_.signature, visible());
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
        const std::vector<std::string> releases = server_.releaseNames();
        if (!server_.enter(kReleaseFolderName))
            return;
        const std::string current(releaseFileOf(index_.release));
        const auto keep = static_cast<std::size_t>(config_.keepReleases);
        for (std::size_t i = 0; i + keep < releases.size(); ++i) {
            if (releases[i] == current)
                continue;
            say(makertext::pruned(releases[i]));
            (void)server_.ftp().Delete(releases[i]);
            (void)server_.ftp().Delete(signatureName(releases[i]));
        }
        server_.enter();
    }

    UpdateUi& ui_;
    const Config& config_;
    std::int64_t now_;
    ServerFiles server_;
    ServerLock lock_;
    std::optional<minisign::SecretKey> key_;
    ReleaseFiles files_;  // the release's program and signature, as sites get them
    ReleaseIndex index_;
    std::optional<ReleaseIndex> previous_;
    std::int64_t offeredAt_ = 0;
};

}  // namespace

PublishReport PublishCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config,
                             const PublishRequest& request,
                             const std::function<std::optional<std::string>()>& askPassword, std::int64_t now)
{
    return Publisher(ui, ftp, config, now).run(request, askPassword);
}

}  // namespace adv
