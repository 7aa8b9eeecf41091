// Text conversion for the Windows per-OS files: names and paths reach them as
// UTF-8 and leave them as UTF-8, and the wide (UTF-16) Windows functions are the only ones that take
// every file name Windows allows.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <climits>
#include <optional>
#include <string>
#include <string_view>

namespace adv::platform::win {

// `text` as UTF-16; nothing when it is not valid UTF-8, so that a mangled
// name can never be taken for another one.
inline std::optional<std::wstring> toUtf16(std::string_view text)
{
    if (text.empty())
        return std::wstring();
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        return std::nullopt;
    const int bytes = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), bytes, nullptr, 0);
    if (units <= 0)
        return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), bytes, wide.data(), units) != units)
        return std::nullopt;
    return wide;
}

// `text` as UTF-8. An unpaired surrogate (which Windows allows in a name)
// becomes U+FFFD.
inline std::string toUtf8(std::wstring_view text)
{
    if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX))
        return std::string();
    const int units = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), units, out.data(), bytes, nullptr, nullptr);
    return out;
}

// Ordinal comparison ignoring letter case, the way Windows compares file names.
inline bool sameFileName(std::wstring_view a, std::wstring_view b)
{
    if (a.size() > static_cast<std::size_t>(INT_MAX) || b.size() > static_cast<std::size_t>(INT_MAX))
        return false;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

}  // namespace adv::platform::win
