#include "app/core/KeyValueText.h"

#include <algorithm>
#include <set>
#include <string>

using namespace Qt::StringLiterals;

namespace adv {
namespace {

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

}  // namespace

KeyValues readKeyValues(std::string_view text, std::span<const std::string_view> keys)
{
    KeyValues read;
    const auto problem = [&read](int line, std::string_view key, QString what) {
        read.badLine = line;
        read.badKey = key;
        read.cause = std::move(what);
        return read;
    };
    std::set<std::string_view> seen;
    // A byte order mark, as some Windows editors write, is not part of the first key.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    int line = 0;
    for (const std::string_view one : linesOf(text)) {
        ++line;
        const std::string_view content = trimmed(one);
        if (content.empty() || content.front() == '#' || content.front() == ';')
            continue;
        const auto equals = content.find('=');
        const std::string_view key = trimmed(content.substr(0, equals == std::string_view::npos ? 0 : equals));
        if (equals == std::string_view::npos || key.empty() ||
            !std::all_of(key.begin(), key.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '_'; }))
            return problem(line, {}, u"la riga non è nella forma chiave = valore: \"%1\""_s.arg(shownValue(content)));

        std::string_view value = trimmed(content.substr(equals + 1));
        if (!value.empty() && value.front() == '"') {
            if (value.size() < 2 || value.back() != '"')
                return problem(line, key, u"virgolette non chiuse: \"%1\""_s.arg(shownValue(value)));
            value = value.substr(1, value.size() - 2);
        }
        if (std::any_of(value.begin(), value.end(), [](char c) { return isControl(static_cast<unsigned char>(c)); }))
            return problem(line, key, u"il valore contiene un carattere di controllo: \"%1\""_s.arg(shownValue(value)));
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            return problem(line, key, u"chiave sconosciuta"_s);
        if (!seen.insert(key).second)
            return problem(line, key, u"la chiave compare più di una volta"_s);
        read.values.push_back({line, key, value});
    }
    return read;
}

QString shownValue(std::string_view bytes)
{
    const QString decoded = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    // Qt counts Unicode's line and paragraph separators as printable; a
    // terminal or a log reader breaks the line there.
    const bool clean = std::all_of(decoded.begin(), decoded.end(), [](QChar c) {
        return c.isPrint() && c != QChar::ReplacementCharacter && c.category() != QChar::Separator_Line &&
               c.category() != QChar::Separator_Paragraph;
    });
    if (clean)
        return decoded;
    // Something in it is not printable text: every byte outside plain ASCII
    // is shown by its value.
    QString shown;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c < 0x7f && c != '\\')
            shown += QLatin1Char(static_cast<char>(c));
        else
            shown += u"\\x%1"_s.arg(c, 2, 16, QChar(u'0'));
    }
    return shown;
}

std::vector<std::string_view> linesOf(std::string_view text)
{
    std::vector<std::string_view> lines = split(text, '\n');
    if (lines.back().empty())  // the last line's end, or an empty text
        lines.pop_back();
    for (std::string_view& line : lines) {
        if (line.ends_with('\r'))  // a file saved with Windows line ends
            line.remove_suffix(1);
    }
    return lines;
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace adv
