// The rate floor as a table: the byte counts a transfer reports, at the
// times it reports them, and when the floor first says it is too slow.
#include "platform/RateFloor.h"

#include <gtest/gtest.h>

namespace {

using adv::platform::RateFloor;

struct RateCase {
    const char* label;
    std::int64_t minRate;  // bytes a second, over a window of 2 s
    int stepMs;            // a report every stepMs, from 0 to 6 s
    std::int64_t (*receivedAt)(int ms);
    int tooSlowAtMs;  // the first report it fails; -1: none
};

const RateCase kCases[] = {
    {"NothingMoves", 1024, 250, [](int) -> std::int64_t { return 0; }, 2000},
    {"OneByteASecond", 1024, 250, [](int ms) -> std::int64_t { return ms / 1000; }, 2000},
    {"JustUnderTheFloor", 1024, 250, [](int ms) -> std::int64_t { return ms; }, 2000},
    {"JustOverTheFloor", 1024, 250, [](int ms) -> std::int64_t { return ms * 11 / 10; }, -1},
    // Counted from the first report that saw the last byte.
    {"StallsAfterABurst", 1024, 250, [](int ms) -> std::int64_t { return ms < 100 ? 0 : 65536; }, 2250},
    // The window slides: a fast start does not carry a slow end.
    {"FastThenSlow", 1024, 250, [](int ms) -> std::int64_t { return ms < 3000 ? ms * 10 : 30000 + (ms - 3000) / 10; },
     5000},
    {"ReportsMoreOftenThanSamples", 1024, 10, [](int ms) -> std::int64_t { return ms * 11 / 10; }, -1},
    {"ReportsFartherApartThanTheWindow", 1024, 5000, [](int ms) -> std::int64_t { return ms * 11 / 10; }, -1},
    {"FarApartAndTooSlow", 1024, 5000, [](int ms) -> std::int64_t { return ms; }, 5000},
    // A floor of 0 fails only a window in which nothing moves.
    {"NoFloorOneByteASecond", 0, 250, [](int ms) -> std::int64_t { return ms / 1000; }, -1},
    {"NoFloorNothingMoves", 0, 250, [](int) -> std::int64_t { return 0; }, 2000},
};

class RateFloorTable : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateFloorTable, FailsOnlyAWholeWindowBelowTheFloor)
{
    const RateCase& c = GetParam();
    RateFloor floor(std::chrono::seconds(2), c.minRate);
    int tooSlowAt = -1;
    for (int ms = 0; ms <= 6000 && tooSlowAt < 0; ms += c.stepMs)
        if (!floor.keepsUp(RateFloor::TimePoint{} + std::chrono::milliseconds(ms), c.receivedAt(ms)))
            tooSlowAt = ms;
    EXPECT_EQ(tooSlowAt, c.tooSlowAtMs);
}

INSTANTIATE_TEST_SUITE_P(Transfer, RateFloorTable, ::testing::ValuesIn(kCases),
                         [](const auto& row) { return std::string(row.param.label); });

}  // namespace
