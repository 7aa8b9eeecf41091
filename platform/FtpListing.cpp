#include "platform/FtpListing.h"

#include <array>
#include <optional>
#include <string>

#include "platform/CurlSetup.h"
#include "platform/FtpReplies.h"
#include "platform/Strings.h"

namespace adv::platform {
namespace {

using Listed = FtpPublishSession::Listed;

bool sameWord(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if ((a[i] | 0x20) != (b[i] | 0x20))
            return false;
    }
    return true;
}

// "type=file;size=1234;modify=20260101120000; name": facts in any order and
// case, a space, the name.
std::optional<Listed> factsLine(std::string_view line)
{
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return std::nullopt;
    Listed entry{std::string(line.substr(space + 1)), std::nullopt, {}, std::nullopt};
    bool file = false;
    for (const std::string_view fact : split(line.substr(0, space), ';')) {
        const std::size_t equals = fact.find('=');
        const std::string_view key = fact.substr(0, equals);
        const std::string_view value = equals == std::string_view::npos ? std::string_view{} : fact.substr(equals + 1);
        if (sameWord(key, "type"))
            file = sameWord(value, "file");
        else if (sameWord(key, "size"))
            entry.size = numberOf(value);
        else if (sameWord(key, "modify"))
            entry.stamp = value, entry.modified = timeOfStamp(value);
    }
    return file ? std::optional(entry) : std::nullopt;
}

bool isMonth(std::string_view word)
{
    static constexpr std::array<std::string_view, 12> kMonths = {"jan", "feb", "mar", "apr", "may", "jun",
                                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
    for (const std::string_view month : kMonths) {
        if (sameWord(word, month))
            return true;
    }
    return false;
}

// "-rw-r--r--  1 owner group  1234 Jan  1 12:00 name": the size is the
// number before the month, the date three words (the time, or a year for an
// older file), the name what follows them and one space. The group may be
// missing; the date is kept as its words, one space between them.
std::optional<Listed> lsLine(std::string_view line)
{
    if (!line.starts_with('-'))
        return std::nullopt;
    struct Word {
        std::size_t at;
        std::string_view text;
    };
    std::vector<Word> words;
    for (std::size_t at = 0; words.size() < 10;) {
        at = line.find_first_not_of(' ', at);
        if (at == std::string_view::npos)
            break;
        const std::size_t end = std::min(line.find(' ', at), line.size());
        words.push_back({at, line.substr(at, end - at)});
        at = end;
    }
    for (std::size_t i = 4; i + 2 < words.size(); ++i) {
        const std::string_view day = words[i + 1].text;
        const std::string_view time = words[i + 2].text;
        const std::optional<std::int64_t> size = numberOf(words[i - 1].text);
        if (!size || !isMonth(words[i].text) || day.size() > 2 || !numberOf(day) ||
            (time.find(':') == std::string_view::npos && !numberOf(time)))
            continue;
        const std::size_t name = words[i + 2].at + time.size() + 1;
        if (name >= line.size())
            return std::nullopt;
        return Listed{std::string(line.substr(name)), size,
                      std::string(words[i].text) + ' ' + std::string(day) + ' ' + std::string(time), std::nullopt};
    }
    return std::nullopt;
}

}  // namespace

std::vector<Listed> listedFiles(std::string_view listing, bool facts)
{
    // Lines end in CRLF; a bare LF or CR is then part of a name, which
    // cuts the line where it stands: such lines are left out whole.
    const bool crlf = listing.find("\r\n") != std::string_view::npos;
    std::vector<Listed> files;
    while (!listing.empty()) {
        const std::size_t end = crlf ? listing.find("\r\n") : listing.find('\n');
        const std::string_view line = listing.substr(0, end);
        listing = end == std::string_view::npos ? std::string_view{} : listing.substr(end + (crlf ? 2 : 1));
        if (holdsLineBreak(line))
            continue;
        if (std::optional<Listed> file = facts ? factsLine(line) : lsLine(line); file && isRemoteName(file->name))
            files.push_back(std::move(*file));
    }
    return files;
}

}  // namespace adv::platform
