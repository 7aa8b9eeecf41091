// The stream hash: however the bytes arrive, in one piece or one at a time,
// and however far the hashing thread lags, it is the file's BLAKE2b-512.
#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app/core/Minisign.h"

namespace {

std::vector<char> bytes(std::size_t size)
{
    std::vector<char> out(size);
    std::uint32_t x = 2463534242u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xffu);
    }
    return out;
}

adv::minisign::Hash oneShot(const std::vector<char>& data)
{
    EXPECT_GE(sodium_init(), 0);
    adv::minisign::Hash out{};
    crypto_generichash(out.data(), out.size(), reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                       nullptr, 0);
    return out;
}

struct Pieces {
    const char* label;
    std::size_t total;
    std::size_t piece;  // 0: all at once
};

class StreamHashTest : public ::testing::TestWithParam<Pieces> {};

TEST_P(StreamHashTest, IsTheHashOfTheWhole)
{
    const Pieces p = GetParam();
    const std::vector<char> data = bytes(p.total);
    adv::minisign::StreamHash hash;
    const std::size_t step = p.piece == 0 ? data.size() : p.piece;
    for (std::size_t at = 0; at < data.size(); at += step)
        hash.update(data.data() + at, std::min(step, data.size() - at));
    hash.update(data.data(), 0);  // an empty piece changes nothing
    EXPECT_EQ(hash.final(), oneShot(data));
}

INSTANTIATE_TEST_SUITE_P(Pieces, StreamHashTest,
                         ::testing::Values(Pieces{"empty", 0, 0}, Pieces{"whole", 3 * 1024 * 1024 + 17, 0},
                                           Pieces{"oneByteAtATime", 70001, 1}, Pieces{"oddPieces", 1234567, 7777},
                                           // Many more pieces than the queue holds: update() waits for room.
                                           Pieces{"curlSizedPieces", 8 * 1024 * 1024 + 3, 100 * 1024}),
                         [](const auto& row) { return std::string(row.param.label); });

// Dropped before the end (a download that failed): nothing hangs or leaks.
TEST(StreamHash, CanBeAbandonedHalfway)
{
    const std::vector<char> data = bytes(1024 * 1024);
    for (int i = 0; i < 20; ++i) {
        adv::minisign::StreamHash hash;
        for (std::size_t at = 0; at < data.size(); at += 4096)
            hash.update(data.data() + at, 4096);
    }
}

}  // namespace
