// A Pacer that never waits: the test's clock, draws at the bound, waits recorded.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "app/core/Pacing.h"

namespace adv::test {

struct RecordingPacer final : adv::Pacer {
    std::int64_t clock = 0;
    bool stop = false;  // every wait is cut short
    std::vector<int> waits;
    std::int64_t now() override { return clock; }
    int minuteOfDay(std::int64_t) override { return 0; }
    std::chrono::seconds random(std::chrono::seconds upTo) override { return upTo; }
    bool wait(std::chrono::seconds span, const std::function<bool()>&) override
    {
        waits.push_back(static_cast<int>(span.count()));
        return !stop;
    }
};

}  // namespace adv::test
