// --fleet: the sites' reports on the server, counted on the maker's machine;
// with --auto-pause, the current release paused when too many of the sites
// that tried it failed. Meant for the maker's scheduler as much as for the
// maker: the exit status says which happened.
#pragma once

#include <cstdint>
#include <optional>

#include "app/core/Config.h"
#include "app/core/UpdateUi.h"
#include "app/maker/PublishReport.h"
#include "app/maker/Signing.h"
#include "platform/FtpClient.h"

namespace adv {

struct FleetRequest {
    std::optional<std::int64_t> autoPause;  // the threshold, thousandths of a percent; none: only count
};

// Published when counted (and, with --auto-pause, nothing was due or the
// release was paused already); AutoPaused when this run paused it; else how
// the session or the pause failed.
PublishReport FleetCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config,
                           const FleetRequest& request, const AskPassword& askPassword, std::int64_t now);

}  // namespace adv
