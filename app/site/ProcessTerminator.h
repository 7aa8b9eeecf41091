// The start-up sweep's Terminator for real: closes programs through the
// process table.
#pragma once

#include <chrono>
#include <string_view>

#include "app/site/StartupSweep.h"

namespace adv {

// Gives each program the configured grace period to close on its own.
class ProcessTerminator final : public Terminator {
public:
    explicit ProcessTerminator(std::chrono::milliseconds grace) : grace_(grace) {}
    TerminateReport terminate(std::span<const std::string_view> names) override;

private:
    std::chrono::milliseconds grace_;
};

}  // namespace adv
