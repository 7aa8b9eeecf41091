// --status: what the server offers sites, each file checked as a site
// would check it, one line each, and what a cut publish left behind.
#pragma once

#include <cstdint>

#include "app/core/UpdateUi.h"
#include "app/maker/PublishReport.h"
#include "app/maker/ServerFiles.h"

namespace adv {

// Published when every line checks; else Inconsistent, the lines that do
// not as its cause. The session is open, in the remote folder.
PublishReport serverStatus(ServerFiles& server, UpdateUi& ui, std::int64_t now);

}  // namespace adv
