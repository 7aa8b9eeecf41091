#include "app/maker/ServerStatus.h"

#include <QStringList>

#include <vector>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"
#include "app/maker/MakerTexts.h"
#include "app/maker/ServerLock.h"
#include "app/maker/Signing.h"

using namespace Qt::StringLiterals;

namespace adv {

namespace {

class StatusLines {
public:
    StatusLines(ServerFiles& server, UpdateUi& ui, std::int64_t now) : server_(server), ui_(ui), now_(now) {}

    PublishReport run()
    {
        index();
        pair();
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

    void index()
    {
        const Config& config = server_.config();
        const std::optional<std::string> stored = server_.fetch(kIndexName, kMaxIndexBytes);
        if (!stored) {
            ui_.AppendStatus(makertext::kNoIndexOffered);
            return;
        }
        const StoredIndex read = readStoredIndex(*stored, config.publicKey);
        const bool genuine = read.authentic && read.index;
        check(genuine, makertext::indexSigned(genuine ? std::optional(read.signedAt) : std::nullopt));
        if (!genuine)
            return;
        const std::int64_t last = lastSignedHere(config);
        check(read.signedAt >= last, makertext::indexNotOlder(last));
        const ReleaseIndex& index = *read.index;
        const std::optional<ReleaseFiles> kept = server_.keptRelease(index.release);
        check(kept && kept->describedBy(index), makertext::currentRelease(index));
        ui_.AppendStatus(makertext::plan(index));
        for (const Rollout::Stage& stage :
             index.rollout.paused ? std::vector<Rollout::Stage>{} : index.rollout.stages) {
            const std::int64_t from = index.signedAt + stage.delay.count() * 3600;
            ui_.AppendStatus(makertext::stage(stage.percent, from, from <= now_));
        }
    }

    void pair()
    {
        const Config& config = server_.config();
        const std::optional<std::string> program =
            server_.fetch(std::string(kUpdatedProgram), config.ftp.maxDownloadBytes);
        const std::optional<std::string> signature =
            program ? server_.fetch(signatureName(kUpdatedProgram), minisign::kMaxSignatureBytes) : std::nullopt;
        const minisign::Checked legacy =
            minisign::Signature::check(signature.value_or(std::string()), *config.publicKey, kUpdatedProgram);
        check(signature && legacy.signature && legacy.signature->verifies(minisign::hashOf(*program)),
              makertext::pairSigned(legacy.signature ? std::optional(legacy.signature->timestamp()) : std::nullopt));
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
