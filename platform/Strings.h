// Pieces of text every layer reads the same way: a list by its separator, a
// hash's digits, a path's last name.
#pragma once

#include <string_view>
#include <vector>

namespace adv::platform {

// The pieces of `text` between the separators, empty ones included: one
// piece, the whole text, when there is no separator. The views point into
// `text`.
std::vector<std::string_view> split(std::string_view text, char separator);

// A digit of a hash as this program writes it, on the server and on disk.
constexpr bool isLowerHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// A hex digit of either case, as an address may have.
constexpr bool isHexDigit(char c)
{
    return isLowerHexDigit(c) || (c >= 'A' && c <= 'F');
}

// The last name of a path, Unix or Windows style.
template <class Char>
std::basic_string_view<Char> baseName(std::basic_string_view<Char> path)
{
    constexpr Char kSeparators[] = {Char('/'), Char('\\'), Char()};
    const std::size_t slash = path.find_last_of(kSeparators);
    return slash == path.npos ? path : path.substr(slash + 1);
}

}  // namespace adv::platform
