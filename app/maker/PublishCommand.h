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

#include "app/channel/ReleaseIndex.h"
#include "app/core/Config.h"
#include "app/core/UpdateUi.h"
#include "app/maker/PublishReport.h"
#include "platform/FtpClient.h"

namespace adv {

// What the maker asks: a new release; another plan for the current one
// (say, a pause); or the current one withdrawn, for the release it replaced
// or one the maker names. Or only what the server offers, checked. Or the
// index renewed with the refresh key (Freshness.h), unattended.
enum class PublishAction { Release, ChangeRollout, Withdraw, Status, Refresh };

struct PublishRequest {
    PublishAction action = PublishAction::Release;
    QString program;        // the new dolvo.exe
    QString signatureFile;  // the maker's own signature of it; empty: signed here
    Rollout rollout;
    bool resumeKept = false;  // --rollout riprendi: the plan kept while paused
    bool reinstate = false;   // a withdrawn release published again, on purpose
    std::string backTo;       // --withdraw: the hash (or its start) of the release to go back to
};

// `askPassword` is asked only for a key sealed with one; `now` is the
// signing time, seconds since 1970.
PublishReport PublishCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config,
                             const PublishRequest& request,
                             const std::function<std::optional<std::string>()>& askPassword, std::int64_t now);

}  // namespace adv
