#include "platform/FtpReplies.h"

#include <chrono>
#include <cstddef>

namespace adv::platform {
namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The digits from `at` to the end of a number, as a number: none when there
// are none, or more than fit.
std::optional<std::int64_t> number(std::string_view text, std::size_t at, std::size_t count)
{
    if (count == 0 || count > 18 || at + count > text.size())
        return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text.substr(at, count)) {
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// What follows "213 ", up to trailing blanks.
std::string_view answer(std::string_view reply)
{
    if (replyCode(reply) != 213 || reply.size() < 5 || reply[3] != ' ')
        return {};
    std::string_view rest = reply.substr(4);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\r' || rest.back() == '\n'))
        rest.remove_suffix(1);
    return rest;
}

}  // namespace

int replyCode(std::string_view reply)
{
    const std::optional<std::int64_t> code = number(reply, 0, 3);
    if (!code || reply[0] < '1' || reply[0] > '5' || (reply.size() > 3 && isDigit(reply[3])))
        return 0;
    return static_cast<int>(*code);
}

std::optional<std::int64_t> sizeOf(std::string_view reply)
{
    const std::string_view size = answer(reply);
    return number(size, 0, size.size());
}

std::optional<std::int64_t> numberOf(std::string_view digits)
{
    return number(digits, 0, digits.size());
}

std::optional<std::int64_t> timeOf(std::string_view reply)
{
    return timeOfStamp(answer(reply));
}

std::optional<std::int64_t> timeOfStamp(std::string_view time)
{
    using namespace std::chrono;
    if (time.size() < 14 || (time.size() > 14 && (time[14] != '.' || !number(time, 15, time.size() - 15))))
        return std::nullopt;
    // Year, month, day, hour, minute, second.
    std::int64_t part[6] = {};
    for (std::size_t i = 0, at = 0; i < 6; at += i == 0 ? 4 : 2, ++i) {
        const std::optional<std::int64_t> read = number(time, at, i == 0 ? 4 : 2);
        if (!read)
            return std::nullopt;
        part[i] = *read;
    }
    const year_month_day date{year(static_cast<int>(part[0])), month(static_cast<unsigned>(part[1])),
                              day(static_cast<unsigned>(part[2]))};
    if (!date.ok() || part[3] > 23 || part[4] > 59 || part[5] > 60)
        return std::nullopt;
    return sys_days(date).time_since_epoch().count() * 86400 + part[3] * 3600 + part[4] * 60 + part[5];
}

}  // namespace adv::platform
