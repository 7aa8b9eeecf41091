// The one text form of the program's own files, the configuration and the
// release index: lines of `key = value`, blank lines and whole-line comments
// starting with '#' or ';'. A value is taken byte for byte: the spaces around
// it are trimmed and one pair of double quotes around it is removed, nothing
// else (no escapes, no continuation lines, no comment after a value). A line
// of another form, a key given twice, an unknown key, a control character in
// a value or an unterminated quote makes the whole text an error.
#pragma once

#include <QString>

#include <charconv>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "app/core/Failure.h"
#include "platform/Strings.h"

namespace adv {

// The text pieces every layer reads alike, for the layers that read text
// through this one.
using platform::isLowerHexDigit;
using platform::split;

struct KeyValue {
    int line = 0;  // from 1
    std::string_view key;
    std::string_view value;
};

// The text's values in their order, or the first problem: its line, its
// key when it has one, and what is wrong.
struct KeyValues {
    std::vector<KeyValue> values;
    int badLine = 0;  // 0: none
    std::string_view badKey;
    Cause cause;
    explicit operator bool() const { return badLine == 0; }
};

// `text` (a byte order mark before it is ignored) with the keys it may hold.
// The views point into `text`.
KeyValues readKeyValues(std::string_view text, std::span<const std::string_view> keys);

// What a value read from such a file looks like on a terminal: bytes that
// are not printable UTF-8 are written as \xNN, so nothing read from the
// file can move the cursor or change the terminal's state.
QString shownValue(std::string_view bytes);

// The text's lines without their ends (LF or CR LF); a last line end is
// optional. The views point into `text`.
std::vector<std::string_view> linesOf(std::string_view text);

// A decimal number between `min` and `max`, every byte of `text` a digit
// of it (no sign, no spaces); nothing otherwise.
template <class Number>
std::optional<Number> decimal(std::string_view text, Number min, Number max)
{
    Number n{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || n < min || n > max)
        return std::nullopt;
    return n;
}

// `text` without the spaces and tabs around it.
std::string_view trimmed(std::string_view text);

}  // namespace adv
