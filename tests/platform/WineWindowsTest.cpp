// An X connection setup as another user's server may send it: the screens
// are read within what came, and a setup that claims more is refused.
#include "platform/WineWindows_linux.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Header and fixed part claiming `screens`, then `rest`; the length field
// counts what follows the header, plus `extraWords` that never come.
Bytes setup(std::uint8_t status, std::uint8_t screens, std::uint16_t vendor, const Bytes& rest, int extraWords = 0)
{
    Bytes s = Bytes(40) + rest;
    const auto words = static_cast<std::uint16_t>((s.size() - 8) / 4 + static_cast<std::size_t>(extraWords));
    s[0] = status;
    std::memcpy(&s[6], &words, 2);
    std::memcpy(&s[24], &vendor, 2);
    s[28] = screens;
    return s;
}

// A screen with root window `root` and one depth of `visuals` visuals, less
// the last `missing` bytes.
Bytes screen(std::uint32_t root, std::uint16_t visuals, std::size_t missing = 0)
{
    Bytes s(48 + 24 * std::size_t{visuals} - missing);
    std::memcpy(&s[0], &root, 4);
    s[39] = 1;
    std::memcpy(&s[42], &visuals, 2);
    return s;
}

TEST(WineWindows, SetupIsReadWithinItsLength)
{
    const struct {
        const char* what;
        Bytes bytes;
        std::optional<std::vector<std::uint32_t>> roots;
    } rows[] = {
        {"one screen", setup(1, 1, 0, screen(7, 1)), std::vector<std::uint32_t>{7}},
        {"two, after a vendor", setup(1, 2, 5, Bytes(8) + screen(7, 2) + screen(9, 0)),
         std::vector<std::uint32_t>{7, 9}},
        {"84 bytes claiming 255 screens", setup(1, 255, 0, Bytes(44)), std::nullopt},
        {"a refusal", setup(0, 1, 0, screen(7, 1)), std::nullopt},
        {"a length beyond what came", setup(1, 1, 0, screen(7, 1), 1), std::nullopt},
        {"visuals beyond the end", setup(1, 1, 0, screen(7, 2, 24)), std::nullopt},
        {"a vendor beyond the end", setup(1, 1, 200, screen(7, 0)), std::nullopt},
        {"no screen", setup(1, 0, 0, {}), std::nullopt},
        {"shorter than a header", Bytes{1, 0, 11, 0}, std::nullopt},
    };
    for (const auto& row : rows)
        EXPECT_EQ(adv::platform::wine::rootWindows(row.bytes), row.roots) << row.what;
}

}  // namespace
