// One publisher at a time on a server. Making a folder is the server's own
// test-and-set: the folder made is the lock, and a file inside says who
// holds it since when. A lock an hour old, by either clock, is taken over,
// and so is one a cut left without its owner.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/core/UpdateUi.h"
#include "app/maker/PublishReport.h"
#include "app/maker/ServerFiles.h"

namespace adv {

enum class LockHolder { Ours, Another, Stale };

// Who holds the lock whose owner file reads `owner` (empty: none written),
// for a publisher whose own line is `ours`, at `now` (seconds since 1970).
LockHolder lockHolder(std::string_view owner, std::string_view ours, std::int64_t now);

class ServerLock {
public:
    ServerLock(ServerFiles& server, UpdateUi& ui, std::int64_t now);

    // The lock, ours from now on; or why not.
    PublishFailure take();
    // Checked before each rename sites can see: a publish that lost the lock
    // (it ran past the hour, and another took it over) changes nothing more.
    PublishFailure stillHeld();
    // The lock gone, if it is still ours.
    void release();

private:
    // The owner file's text; empty when it cannot be read.
    std::string owner();
    std::string ownerOnceWritten();

    ServerFiles& server_;
    UpdateUi& ui_;
    std::int64_t now_;
    std::string ours_;  // this run's line in the lock
    bool held_ = false;
};

}  // namespace adv
