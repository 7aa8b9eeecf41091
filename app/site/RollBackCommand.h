// The roll-back command: the program the last update replaced goes back.
#pragma once

#include <span>

#include "app/site/Installation.h"
#include "app/site/UpdateReport.h"
#include "process/DoroDave.h"

namespace adv {

struct Config;

// Puts dolvo.exe.prev back in dolvo.exe's place, and dolvo.exe (when there
// is one) in its own: a second one goes forward again. The release floor
// stays where it was. Refused, as the update is, while the installed
// dolvo.exe runs.
UpdateReport RollBackCommand(UpdateUi& ui, InstallSite& site, const Config& config,
                             std::span<const LeftRunning> leftRunning = {});

}  // namespace adv
