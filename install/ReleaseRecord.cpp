#include "install/ReleaseRecord.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace adv::install {
namespace {

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
    return text == "-" || (text.size() == 128 && std::all_of(text.begin(), text.end(), [](char c) {
                               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                           }));
}

std::vector<std::string_view> split(std::string_view text, char by)
{
    std::vector<std::string_view> parts;
    while (true) {
        const auto at = text.find(by);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
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
    Stored stored;
    const auto floorParts = lines.size() == 5 ? split(lines[1], ' ') : std::vector<std::string_view>{};
    if (text.size() > kMaxRecordBytes || lines.size() != 5 || lines[0] != kRecordHeader || !lines[4].empty() ||
        floorParts.size() != 2 || floorParts[0] != "floor" || !parseOptional(floorParts[1], stored.floor) ||
        !parseLine(lines[2], "installed", stored.installed) || !parseLine(lines[3], "previous", stored.previous))
        return std::nullopt;
    return stored;
}

std::string Stored::text() const
{
    return std::string(kRecordHeader) + "\nfloor " + field(floor) + "\n" + line(installed, "installed") +
           line(previous, "previous");
}

}  // namespace adv::install
