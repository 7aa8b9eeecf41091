#include "app/maker/ServerStatus.h"

#include <QStringList>

#include <vector>

#include "app/channel/Freshness.h"
#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"
#include "app/maker/IndexMemory.h"
#include "app/maker/MakerTexts.h"
#include "app/maker/ServerLock.h"

using namespace Qt::StringLiterals;

namespace adv {

namespace {

// An index that expires within these days is said with a warning.
constexpr int kWarnDays = 3;

class StatusLines {
public:
    StatusLines(ServerFiles& server, UpdateUi& ui, std::int64_t now) : server_(server), ui_(ui), now_(now) {}

    PublishReport run()
    {
        const bool indexed = index();
        pair(indexed);
        kept();
        leftovers();
        if (problems_.isEmpty())
            return {PublishOutcome::Published, {}};
        return {PublishOutcome::Inconsistent, Cause(problems_.join(u"; "_s))};
    }

private:
    void check(bool ok, const QString& line)
    {
        ui_.AppendStatus(makertext::checkedLine(ok, line));
        if (!ok)
            problems_ << line;
    }

    // Whether the server offers an index.
    bool index()
    {
        const Config& config = server_.config();
        const std::optional<std::string> stored = server_.fetch(kIndexName, kMaxIndexBytes);
        if (!stored)
            return false;
        const StoredIndex read = readStoredIndex(*stored, config.publicKey);
        const bool genuine = read.authentic && read.index;
        check(genuine && read.signedAt <= now_ + kFutureSlackSeconds,
              makertext::indexSigned(genuine ? std::optional(read.signedAt) : std::nullopt));
        if (!genuine)
            return true;
        const IndexMemory memory = recallIndex(config, read.signedAt);
        check(!memory.refused, memory.refused ? memory.refused->text : makertext::indexNotOlder(memory.signedAt));
        const ReleaseIndex& index = *(current_ = read.index);
        const bool whole =
            server_.enter(kReleaseFolderName) && server_.looksLike(std::string(releaseFileOf(index.release)), index);
        server_.enter();
        check(whole && !index.isWithdrawn(index.hash), makertext::currentRelease(index));
        freshnessLines(read);
        ui_.AppendStatus(makertext::published(index));
        ui_.AppendStatus(makertext::plan(index));
        if (index.rollout.paused && index.keptPlan)
            ui_.AppendStatus(makertext::keptPlan(index));
        for (const Rollout::Stage& stage :
             index.rollout.paused ? std::vector<Rollout::Stage>{} : index.rollout.stages) {
            const std::int64_t from = index.signedAt + stage.delay.count() * 3600;
            ui_.AppendStatus(makertext::stage(stage.percent, from, from <= now_));
        }
        return true;
    }

    // Until when sites follow the index; a statement beside it that they
    // would refuse is a problem, an index about to expire a warning.
    void freshnessLines(const StoredIndex& read)
    {
        const std::optional<std::string> statement =
            read.index->refreshKey ? server_.fetch(kFreshName, minisign::kMaxSignatureBytes) : std::nullopt;
        const Freshness fresh = freshness(*read.index, read.signedAt, read.textHash, statement, now_);
        if (!fresh.refused.isEmpty())
            check(false, fresh.refused.text);
        if (!fresh.until)
            return;
        if (now_ > *fresh.until)
            check(false, makertext::expiredOn(*fresh.until));
        else
            ui_.AppendStatus(makertext::validUntil(*fresh.until, now_, kWarnDays));
    }

    // The pair today's sites read; with no index beside it, a server that
    // offers neither has nothing published yet.
    void pair(bool indexed)
    {
        const Config& config = server_.config();
        const std::string name(kUpdatedProgram);
        const std::optional<std::string> signature = server_.fetch(signatureName(name), minisign::kMaxSignatureBytes);
        platform::FtpPublishSession::Facts facts;
        if (!signature && !server_.ftp().AskAbout(name, facts)) {
            ui_.AppendStatus(indexed ? makertext::kNoPairYet : makertext::kNothingPublished);
            return;
        }
        if (!indexed)
            ui_.AppendStatus(makertext::kNoIndexOffered);
        const minisign::Checked legacy =
            minisign::Signature::check(signature.value_or(std::string()), *config.publicKey, kUpdatedProgram);
        const auto signedAt = legacy.signature ? std::optional(legacy.signature->timestamp()) : std::nullopt;
        // The index's release needs no download: its hash is known.
        if (current_ && signedAt == current_->signedAt) {
            check(server_.looksLike(name, *current_), makertext::pairSigned(signedAt));
            return;
        }
        const std::optional<std::string> program =
            signature ? server_.fetch(name, config.ftp.maxDownloadBytes) : std::nullopt;
        check(program && legacy.signature && legacy.signature->verifies(minisign::hashOf(*program)),
              makertext::pairSigned(signedAt));
    }

    // What --withdraw --back-to may name, from the names alone.
    void kept()
    {
        for (const std::string& name : server_.releaseNames())
            ui_.AppendStatus(makertext::keptRelease(name, releaseTime(name).value_or(0), releaseHashStart(name)));
    }

    void leftovers()
    {
        for (const std::string_view folder : {std::string_view{}, kReleaseFolderName}) {
            for (const std::string& name : server_.namesIn(folder)) {
                if (isLeftover(name, !folder.empty()))
                    check(false, makertext::leftover(name));
            }
        }
        if (const LockOwner lock = readLockOwner(server_); lock.present)
            check(false, makertext::lockLeft(lock.line, now_));
    }

    ServerFiles& server_;
    UpdateUi& ui_;
    std::int64_t now_;
    QStringList problems_;
    std::optional<ReleaseIndex> current_;  // the index's, when it is the maker's
};

}  // namespace

PublishReport serverStatus(ServerFiles& server, UpdateUi& ui, std::int64_t now)
{
    return StatusLines(server, ui, now).run();
}

}  // namespace adv
