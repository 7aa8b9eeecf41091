// How the maker's command ended: its outcome, for the exit status, and why,
// Italian for the maker's terminal and the system's words for the log.
#pragma once

#include <optional>

#include "app/core/ExitStatus.h"
#include "app/core/Failure.h"

namespace adv {

enum class PublishOutcome {
    Published,
    Refused,        // the key or the signature, before anything was sent
    ConnectFailed,  // no session, or the folder cannot be entered
    Locked,         // another publisher holds the server
    Mismatch,       // a file read back is not what was sent: nothing visible changed
    RenameRefused,  // the server refused to put a file in place: the report lists what is visible
    ServerFailed,   // another failure on the server: nothing visible changed
    Inconsistent,   // --status: something the server offers does not check; the lines say what
    AutoPaused,     // --fleet --auto-pause: too many sites failed the current release, now paused
};

struct PublishReport {
    PublishOutcome outcome = PublishOutcome::Refused;
    Cause cause;  // empty when all went well
};

// A step of the publish: nothing when it went well, else the report it ends with.
using PublishFailure = std::optional<PublishReport>;

ExitStatus exitStatus(PublishOutcome outcome);

}  // namespace adv
