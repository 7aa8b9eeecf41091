#include "app/maker/ServerStatus.h"

#include <QStringList>

#include <vector>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"
#include "app/maker/IndexMemory.h"
#include "app/maker/MakerTexts.h"
#include "app/maker/ServerLock.h"

using namespace Qt::StringLiterals;

namespace adv {

namespace {

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
        const ReleaseIndex& index = *read.index;
        const std::optional<ReleaseFiles> kept = server_.keptRelease(index.release);
        check(kept && kept->describedBy(index) && !index.isWithdrawn(index.hash), makertext::currentRelease(index));
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

    // The pair today's sites read; with no index beside it, a server that
    // offers neither has nothing published yet.
    void pair(bool indexed)
    {
        const Config& config = server_.config();
        const std::optional<std::string> program =
            server_.fetch(std::string(kUpdatedProgram), config.ftp.maxDownloadBytes);
        const std::optional<std::string> signature =
            program ? server_.fetch(signatureName(kUpdatedProgram), minisign::kMaxSignatureBytes) : std::nullopt;
        if (!indexed && !program && !server_.fetch(signatureName(kUpdatedProgram), minisign::kMaxSignatureBytes)) {
            ui_.AppendStatus(makertext::kNothingPublished);
            return;
        }
        if (!indexed)
            ui_.AppendStatus(makertext::kNoIndexOffered);
        const minisign::Checked legacy =
            minisign::Signature::check(signature.value_or(std::string()), *config.publicKey, kUpdatedProgram);
        check(signature && legacy.signature && legacy.signature->verifies(minisign::hashOf(*program)),
              makertext::pairSigned(legacy.signature ? std::optional(legacy.signature->timestamp()) : std::nullopt));
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
};

}  // namespace

PublishReport serverStatus(ServerFiles& server, UpdateUi& ui, std::int64_t now)
{
    return StatusLines(server, ui, now).run();
}

}  // namespace adv
