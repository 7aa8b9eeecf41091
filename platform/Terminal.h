// A secret asked of whoever runs the program: the maker's key password.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace adv::platform {

// Longer lines are refused: no password is this long.
inline constexpr std::size_t kMaxSecretBytes = 1024;

// Writes `prompt` and reads one line from the terminal with echo off, then
// puts the terminal back; without a terminal (a script), the line comes from
// standard input. Nothing when none came, or it was too long (UTF-8).
std::optional<std::string> readSecret(std::string_view prompt);

// Shared by both systems: one line of at most kMaxSecretBytes from `next`,
// which gives a byte or nothing at the end.
template <class Next>
std::optional<std::string> readSecretLine(Next next)
{
    std::string line;
    line.reserve(kMaxSecretBytes);  // never moved: no copy of a password is left behind
    while (const std::optional<char> c = next()) {
        if (*c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (line.size() == kMaxSecretBytes)
            return std::nullopt;
        line += *c;
    }
    return line.empty() ? std::nullopt : std::optional<std::string>(line);
}

// Whether `stream` is a terminal, not a pipe or a file.
bool isTerminal(std::FILE* stream);

}  // namespace adv::platform
