// The maker's --publish: a new dolvo.exe to the server, signed, uploaded
// whole under names no site reads yet, checked by reading it back, and made
// visible last, by renames: first the release, then the index that names it,
// then (when it goes to every site) the pair today's sites read.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/core/Config.h"
#include "app/core/ExitStatus.h"
#include "app/core/ProductTable.h"
#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Failure.h"
#include "app/core/UpdateUi.h"
#include "platform/FtpClient.h"

namespace adv {

// What the maker asks: a new release; another plan for the current one
// (say, a pause); or the current one withdrawn, for the newest kept release
// before it.
// Or only what the server offers, checked.
enum class PublishAction { Release, ChangeRollout, Withdraw, Status };

struct PublishRequest {
    PublishAction action = PublishAction::Release;
    QString program;        // the new dolvo.exe
    QString signatureFile;  // the maker's own signature of it; empty: signed here
    Rollout rollout;
};

enum class PublishOutcome {
    Published,
    Refused,        // the key or the signature, before anything was sent
    ConnectFailed,  // no session, or the folder cannot be entered
    Locked,         // another publisher holds the server
    Mismatch,       // a file read back is not what was sent: nothing visible changed
    RenameRefused,  // the server refused to put a file in place: the report lists what is visible
    ServerFailed,   // another failure on the server: nothing visible changed
    Inconsistent,   // --status: something the server offers does not check; the lines say what
};

struct PublishReport {
    PublishOutcome outcome = PublishOutcome::Refused;
    Cause cause;  // empty when all went well
};

ExitStatus exitStatus(PublishOutcome outcome);

// `askPassword` is asked only for a key sealed with one; `now` is the
// signing time, seconds since 1970.
PublishReport PublishCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config,
                             const PublishRequest& request,
                             const std::function<std::optional<std::string>()>& askPassword, std::int64_t now);

}  // namespace adv
