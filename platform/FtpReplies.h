// What the server's replies say to the commands this program sends itself
// rather than through libcurl: each reply's code, and the size and time that
// SIZE and MDTM give.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace adv::platform {

// The reply's three-digit code; 0 when the line is no reply.
int replyCode(std::string_view reply);

// "213 <bytes>": the size; none from any other reply.
std::optional<std::int64_t> sizeOf(std::string_view reply);

// "213 YYYYMMDDHHMMSS", perhaps with a fraction of a second, in UTC: the
// seconds since 1970; none from any other reply, or a date that is none.
std::optional<std::int64_t> timeOf(std::string_view reply);
// The same time alone, as MLSD gives it.
std::optional<std::int64_t> timeOfStamp(std::string_view stamp);

// Digits alone, as a number; none from anything else, or more than fit.
std::optional<std::int64_t> numberOf(std::string_view digits);

}  // namespace adv::platform
