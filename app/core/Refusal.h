// How a step of core says it cannot be taken: why, in Italian, for the
// operator; nothing when it can. A command ends with its UpdateReport, and
// the configuration comes with its own or why not (ConfigResult).
#pragma once

#include <QString>

#include <optional>

namespace adv {

using Refusal = std::optional<QString>;

}  // namespace adv
