#include "app/maker/FleetMemory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <vector>

#include "app/maker/IndexMemory.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

constexpr std::string_view kHeader = "AggiornaDV fleet 1\n";
// A record's line before its stamp and text, at most.
constexpr std::size_t kMaxRecordLine = 256;
constexpr qint64 kMaxMemoryBytes = qint64(kMaxFleetReports) * qint64(kMaxReportBytes + kMaxRecordLine + kMaxStampBytes);

// A word of a report's fixed lists, or a tag: never a space or a line break.
bool isToken(std::string_view text)
{
    return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

std::string token(const std::string& text)
{
    return text.empty() ? std::string("-") : text;
}

std::optional<std::int64_t> number(std::string_view text)
{
    std::int64_t n = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || n < -1)
        return std::nullopt;
    return n;
}

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> out;
    for (std::size_t at = 0; at <= line.size();) {
        const std::size_t space = std::min(line.find(' ', at), line.size());
        out.push_back(line.substr(at, space - at));
        at = space + 1;
    }
    return out;
}

QString fleetFolder(const Config& config)
{
    return config.signingKey + u".fleet"_s;
}

// Looked at before it is opened: a link, a FIFO or a folder in its place is
// no record of ours.
bool isKind(const QString& path, std::filesystem::file_type kind, bool& absent)
{
    std::error_code error;
    const std::filesystem::file_type found = std::filesystem::symlink_status(path.toStdU16String(), error).type();
    absent = found == std::filesystem::file_type::not_found;
    return !absent && !error && found == kind;
}

}  // namespace

bool isReportName(std::string_view name)
{
    const std::string_view stem = name.substr(0, name.size() - std::min(name.size(), kReportSuffix.size()));
    return name.ends_with(kReportSuffix) && stem.size() == 32 && std::all_of(stem.begin(), stem.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

std::string fleetText(const std::map<std::string, FleetRecord>& records)
{
    std::string out(kHeader);
    for (const auto& [name, r] : records) {
        out += name + ' ' + std::to_string(r.size.value_or(-1)) + ' ' + (r.clone ? '1' : '0') + ' ' +
               token(r.lastTry.tag) + ' ' + (r.lastTry.installed ? '1' : '0') + ' ' + token(r.lastTry.cause) + ' ' +
               std::to_string(r.stamp.size()) + ' ' + std::to_string(r.text.size()) + '\n' + r.stamp + r.text;
    }
    return out;
}

std::optional<std::map<std::string, FleetRecord>> readFleetText(std::string_view text)
{
    if (!text.starts_with(kHeader))
        return std::nullopt;
    std::map<std::string, FleetRecord> records;
    text.remove_prefix(kHeader.size());
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos || end > kMaxRecordLine)
            return std::nullopt;
        const std::vector<std::string_view> w = words(text.substr(0, end));
        text.remove_prefix(end + 1);
        if (w.size() != 8 || !isReportName(w[0]) || records.contains(std::string(w[0])))
            return std::nullopt;
        const auto size = number(w[1]), stampBytes = number(w[6]), textBytes = number(w[7]);
        const bool flags = (w[2] == "0" || w[2] == "1") && (w[4] == "0" || w[4] == "1");
        if (!size || !stampBytes || !textBytes || !flags || !isToken(w[3]) || !isToken(w[5]) ||
            *stampBytes > std::int64_t(kMaxStampBytes) || *textBytes > std::int64_t(kMaxReportBytes) ||
            std::size_t(*stampBytes + *textBytes) > text.size())
            return std::nullopt;
        FleetRecord& r = records[std::string(w[0])];
        r.size = *size < 0 ? std::nullopt : std::optional(*size);
        r.clone = w[2] == "1";
        r.lastTry = {w[3] == "-" ? std::string() : std::string(w[3]), w[4] == "1",
                     w[5] == "-" ? std::string() : std::string(w[5])};
        r.stamp = std::string(text.substr(0, std::size_t(*stampBytes)));
        r.text = std::string(text.substr(std::size_t(*stampBytes), std::size_t(*textBytes)));
        text.remove_prefix(std::size_t(*stampBytes + *textBytes));
    }
    return records;
}

FleetMemory recallFleet(const Config& config)
{
    if (config.signingKey.isEmpty())
        return {};
    FleetMemory memory{fleetFolder(config) + u'/' + serverFileName(config) + u".reports"_s, {}, {}};
    bool absent = false;
    if (!isKind(fleetFolder(config), std::filesystem::file_type::directory, absent)) {
        if (!absent)
            memory.problem = u"%1 non è una cartella"_s.arg(fleetFolder(config));
        return memory;
    }
    if (!isKind(memory.path, std::filesystem::file_type::regular, absent)) {
        if (!absent)
            memory.problem = u"%1 non è un file ordinario"_s.arg(memory.path);
        return memory;
    }
    QFile file(memory.path);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.read(kMaxMemoryBytes + 1) : QByteArray();
    const auto read = readFleetText(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    if (bytes.size() > kMaxMemoryBytes || !read)
        memory.problem = u"%1 non si può leggere o è danneggiato"_s.arg(memory.path);
    else
        memory.records = std::move(*read);
    return memory;
}

bool rememberFleet(const FleetMemory& memory)
{
    if (memory.path.isEmpty())
        return false;
    const QString folder = QFileInfo(memory.path).path();
    constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    bool absent = false;
    if (!isKind(folder, std::filesystem::file_type::directory, absent) &&
        !(absent && QDir().mkdir(folder) && QFile::setPermissions(folder, ownerOnly | QFileDevice::ExeOwner)))
        return false;
    const std::string text = fleetText(memory.records);
    QSaveFile file(memory.path);
    return file.open(QIODevice::WriteOnly) && file.setPermissions(ownerOnly) &&
           file.write(text.data(), qint64(text.size())) == qint64(text.size()) && file.commit();
}

}  // namespace adv
