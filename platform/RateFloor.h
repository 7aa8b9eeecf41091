// The slowest a download may be: a transfer that moves less than a floor
// over a whole window fails. Judged on the times and byte counts it is
// given, read from no clock of its own, so it is tested as a table.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>

namespace adv::platform {

class RateFloor {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // How finely the transfer's rate is followed: one sample per interval,
    // the oldest kept just old enough to span the window.
    static constexpr auto kSampleInterval = std::chrono::milliseconds(250);

    // `minBytesPerSecond` 0: only a window in which nothing moves fails.
    RateFloor(std::chrono::seconds window, std::int64_t minBytesPerSecond)
        : window_(window), minRate_(minBytesPerSecond)
    {
    }

    // False once the transfer has been too slow for a whole window;
    // `received` is the count so far at `now`.
    bool keepsUp(TimePoint now, std::int64_t received)
    {
        if (samples_.empty() || now - samples_.back().at >= kSampleInterval)
            samples_.push_back({now, received});
        while (samples_.size() >= 2 && now - samples_[1].at >= window_)
            samples_.pop_front();
        const Sample& oldest = samples_.front();
        const auto span = now - oldest.at;
        if (span < window_)
            return true;
        const std::int64_t moved = received - oldest.bytes;
        const double seconds = std::chrono::duration<double>(span).count();
        return moved > 0 && static_cast<double>(moved) >= static_cast<double>(minRate_) * seconds;
    }

private:
    struct Sample {
        TimePoint at;
        std::int64_t bytes;
    };
    std::chrono::seconds window_;
    std::int64_t minRate_;
    std::deque<Sample> samples_;
};

}  // namespace adv::platform
