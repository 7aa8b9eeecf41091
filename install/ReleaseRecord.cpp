#include "install/ReleaseRecord.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "platform/Strings.h"

namespace adv::install {
namespace {

using platform::split;

std::string field(const std::optional<std::int64_t>& value)
{
    return value ? std::to_string(*value) : "-";
}

template <typename Number>
bool parseNumber(std::string_view text, Number& out)
{
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc{} && end == text.data() + text.size();
}

bool parseOptional(std::string_view text, std::optional<std::int64_t>& out)
{
    if (text == "-") {
        out.reset();
        return true;
    }
    std::int64_t value = 0;
    if (!parseNumber(text, value))
        return false;
    out = value;
    return true;
}

bool isHash(std::string_view text)
{
    return text == "-" || (text.size() == 128 && std::all_of(text.begin(), text.end(), platform::isLowerHexDigit));
}

std::string line(const Recorded& recorded, std::string_view key)
{
    return std::string(key) + " " + field(recorded.release.signedAt) + " " +
           (recorded.release.hash.empty() ? "-" : recorded.release.hash) + " " + std::to_string(recorded.file.id) +
           " " + std::to_string(recorded.file.size) + " " + std::to_string(recorded.file.modified) + "\n";
}

bool parseLine(std::string_view text, std::string_view key, Recorded& recorded)
{
    const auto parts = split(text, ' ');
    if (parts.size() != 6 || parts[0] != key || !parseOptional(parts[1], recorded.release.signedAt) ||
        !isHash(parts[2]) || !parseNumber(parts[3], recorded.file.id) || !parseNumber(parts[4], recorded.file.size) ||
        !parseNumber(parts[5], recorded.file.modified))
        return false;
    recorded.file.kind = platform::EntryKind::File;
    recorded.release.hash = parts[2] == "-" ? std::string() : std::string(parts[2]);
    return true;
}

// "<key> <value>", the value one word.
std::optional<std::string_view> valueOf(std::string_view text, std::string_view key)
{
    const auto parts = split(text, ' ');
    return parts.size() == 2 && parts[0] == key ? std::optional(parts[1]) : std::nullopt;
}

bool parseWithdrawn(std::string_view text, std::vector<std::string>& out)
{
    if (text == "-")
        return true;
    for (const std::string_view hash : split(text, ',')) {
        if (hash == "-" || !isHash(hash))
            return false;
        out.emplace_back(hash);
    }
    return out.size() <= kMaxWithdrawn;
}

}  // namespace

Recorded Recorded::of(Release release, const platform::Entry& file)
{
    return file.kind == platform::EntryKind::File ? Recorded{std::move(release), file} : Recorded{};
}

bool Recorded::describes(const platform::Entry& now) const
{
    return now.kind == platform::EntryKind::File && now.id == file.id && now.size == file.size &&
           now.modified == file.modified;
}

std::optional<Stored> Stored::parse(std::string_view text)
{
    const auto lines = split(text, '\n');
    const bool first = !lines.empty() && lines[0] == kFirstRecordHeader;
    const std::size_t count = first ? 5 : 7;
    Stored stored;
    const auto floor = lines.size() == count ? valueOf(lines[1], "floor") : std::nullopt;
    if (text.size() > kMaxRecordBytes || lines.size() != count || (!first && lines[0] != kRecordHeader) ||
        !lines[count - 1].empty() || !floor || !parseOptional(*floor, stored.floor) ||
        !parseLine(lines[2], "installed", stored.installed) || !parseLine(lines[3], "previous", stored.previous))
        return std::nullopt;
    if (first)
        return stored;
    const auto index = valueOf(lines[4], "index");
    const auto withdrawn = valueOf(lines[5], "withdrawn");
    if (!index || !parseOptional(*index, stored.indexSeen) || !withdrawn ||
        !parseWithdrawn(*withdrawn, stored.withdrawn))
        return std::nullopt;
    return stored;
}

std::string Stored::text() const
{
    std::string hashes;
    for (const std::string& hash : withdrawn)
        hashes += (hashes.empty() ? "" : ",") + hash;
    return std::string(kRecordHeader) + "\nfloor " + field(floor) + "\n" + line(installed, "installed") +
           line(previous, "previous") + "index " + field(indexSeen) + "\nwithdrawn " + (hashes.empty() ? "-" : hashes) +
           "\n";
}

}  // namespace adv::install
