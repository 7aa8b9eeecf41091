// One publisher at a time on a server. Making a folder is the server's own
// test-and-set: the folder made is the lock, and a file inside says who
// holds it since when. A lock an hour old, by either clock, is taken over,
// and so is one a cut left without its owner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/Config.h"
#include "app/core/UpdateUi.h"
#include "app/maker/PublishReport.h"
#include "app/maker/ServerFiles.h"

namespace adv {

enum class LockHolder { Ours, Another, Stale };

// Who holds the lock whose owner file reads `owner` (empty: none written),
// for a publisher whose own line is `ours`, at `now` (seconds since 1970).
LockHolder lockHolder(std::string_view owner, std::string_view ours, std::int64_t now);
// When an owner line says its lock was taken: its last field, as every
// publisher has written it.
std::optional<std::int64_t> lockTakenAt(std::string_view owner);

// The lock as the server shows it.
struct LockOwner {
    bool present = false;             // the lock's folder is there
    std::optional<std::string> line;  // its owner's line, as read
    platform::FtpResult read;         // why there is none: RemoteFile when none was written

    // The server failed to give an owner that may well be there.
    bool unreadable() const;
};
LockOwner readLockOwner(ServerFiles& server);

class ServerLock {
public:
    ServerLock(ServerFiles& server, UpdateUi& ui, std::int64_t now);

    // The lock, ours from now on; or why not, with what this run made of it
    // removed again.
    PublishFailure take();
    // Checked before each rename sites can see: a publish that lost the lock
    // (it ran past the hour, and another took it over) changes nothing more.
    PublishFailure stillHeld();
    // The lock gone, unless another holds it now.
    void release();
    // The server's time when the lock was taken, from its owner file;
    // nothing when the server gives none.
    std::optional<std::int64_t> serverTime() const { return serverTime_; }

private:
    LockOwner ownerOnceWritten();
    PublishReport undone(PublishReport report);

    ServerFiles& server_;
    UpdateUi& ui_;
    std::int64_t now_;
    std::string ours_;    // this run's line in the lock
    bool made_ = false;   // this run made the lock's folder...
    bool wrote_ = false;  // ...or wrote its owner
    bool held_ = false;
    std::optional<std::int64_t> serverTime_;
};

// --unlock: the lock removed, whoever holds it, once its owner and age are
// said; a server without one is left as it is.
PublishReport UnlockCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config, std::int64_t now);

}  // namespace adv
