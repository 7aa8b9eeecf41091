// What the session reads from the server's replies to SIZE and MDTM.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/FtpReplies.h"

TEST(FtpReplies, SizeAndTimeOnlyFromAWellFormedAnswer)
{
    using Number = std::optional<std::int64_t>;
    for (const auto& [reply, size, time] : std::initializer_list<std::tuple<std::string, Number, Number>>{
             {"213 27000 ", 27000, std::nullopt},
             {"213 -5", std::nullopt, std::nullopt},
             {"213 9999999999999999999", std::nullopt, std::nullopt},
             {"550 Could not get file size.", std::nullopt, std::nullopt},
             {"2130 1", std::nullopt, std::nullopt},
             {"213 19700101000000", 19700101000000, 0},
             {"213 20240229235960.123", std::nullopt, 1709251200},
             {"213 20230229000000", 20230229000000, std::nullopt},
             {"213 20261210245753", 20261210245753, std::nullopt},
             {"213 2026121012575", 2026121012575, std::nullopt}}) {
        EXPECT_EQ(adv::platform::sizeOf(reply), size) << reply;
        EXPECT_EQ(adv::platform::timeOf(reply), time) << reply;
    }
}
