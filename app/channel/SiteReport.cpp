#include "app/channel/SiteReport.h"

#include <algorithm>
#include <array>

#include "app/channel/Minisign.h"
#include "app/core/KeyValueText.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

constexpr std::array<std::string_view, 22> kKeys{
    "format", "site",    "version", "command",      "seq",           "run",         "previous_run", "at",
    "exit",   "outcome", "cause",   "phase",        "bytes",         "seconds",     "installed",    "previous",
    "tried",  "place",   "group",   "index_signed", "index_expires", "unsent_since"};
constexpr std::string_view kHistoryKey = "history";
constexpr std::string_view kSumKey = "sum";
constexpr std::string_view kSumLine = "\nsum=";  // the last line, after the text it sums

std::string hexStart(const minisign::Hash& hash, std::size_t digits)
{
    return minisign::toHex(hash).substr(0, digits);
}

bool isHex(std::string_view text, std::size_t digits)
{
    return text.size() == digits && std::all_of(text.begin(), text.end(), isLowerHexDigit);
}

// A word from one of the program's fixed lists: lower-case letters and '-'.
bool isWord(std::string_view text)
{
    return text.size() <= 32 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; });
}

bool isVersion(std::string_view text)
{
    return !text.empty() && text.size() <= 32 &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

constexpr std::int64_t kMaxTime = std::int64_t{1} << 40;

std::string sumOf(std::string_view body)
{
    return hexStart(minisign::hashOf(body), 32);
}

}  // namespace

std::string historyText(const std::vector<ReportedRun>& runs)
{
    std::string out;
    for (const ReportedRun& one : runs) {
        if (!out.empty())
            out += ',';
        out += std::to_string(one.seq) + ':' + one.run + ':' + std::to_string(one.at) + ':' + std::to_string(one.exit) +
               ':' + one.outcome;
    }
    return out;
}

std::optional<std::vector<ReportedRun>> readHistory(std::string_view text)
{
    std::vector<ReportedRun> runs;
    if (text.empty())
        return runs;
    for (const std::string_view item : split(text, ',')) {
        const std::vector<std::string_view> parts = split(item, ':');
        if (parts.size() != 5 || runs.size() == kReportHistory)
            return std::nullopt;
        ReportedRun one;
        const auto seq = decimal<std::int64_t>(parts[0], 1, kMaxTime);
        const auto at = decimal<std::int64_t>(parts[2], 0, kMaxTime);
        const auto exit = decimal<int>(parts[3], 0, 255);
        if (!seq || !isHex(parts[1], 16) || !at || !exit || !isWord(parts[4]) || parts[4].empty())
            return std::nullopt;
        runs.push_back({*seq, std::string(parts[1]), *at, *exit, std::string(parts[4])});
    }
    return runs;
}

std::string reportName(std::string_view siteId)
{
    return hexStart(minisign::hashOf("AggiornaDV report name\n" + std::string(siteId)), 32) +
           std::string(kReportSuffix);
}

std::string releaseTag(const unsigned char* hash64)
{
    minisign::Hash hash{};
    std::copy(hash64, hash64 + hash.size(), hash.begin());
    return hexStart(hash, 32);
}

std::string reportText(const SiteReport& r)
{
    const auto line = [](std::string_view key, const std::string& value) {
        return std::string(key) + "=" + value + "\n";
    };
    // No heading comment: every byte here goes up from every site every night.
    std::string body = line("format", std::to_string(SiteReport::kFormat)) + line("site", r.site) +
                       line("version", r.version) + line("command", r.command) + line("seq", std::to_string(r.seq)) +
                       line("run", r.run) + line("previous_run", r.previousRun) + line("at", std::to_string(r.at)) +
                       line("exit", std::to_string(r.exit)) + line("outcome", r.outcome) + line("cause", r.cause) +
                       line("phase", r.phase) + line("bytes", std::to_string(r.bytes)) +
                       line("seconds", std::to_string(r.seconds)) + line("installed", r.installed) +
                       line("previous", r.previous) + line("tried", r.tried) + line("place", std::to_string(r.place)) +
                       line("group", r.group) + line("index_signed", std::to_string(r.indexSigned)) +
                       line("index_expires", std::to_string(r.indexExpires)) +
                       line("unsent_since", std::to_string(r.unsentSince)) + line(kHistoryKey, historyText(r.history));
    return body + line(kSumKey, sumOf(body));
}

namespace {

// One value of a report into `r`; false when it is not one of its key's.
bool readValue(SiteReport& r, std::string_view key, std::string_view v)
{
    const auto time = [&](std::int64_t& to) {
        const auto n = decimal<std::int64_t>(v, 0, kMaxTime);
        to = n.value_or(0);
        return n.has_value();
    };
    const auto word = [&](std::string& to, bool mayBeEmpty) {
        to = std::string(v);
        return isWord(v) && (mayBeEmpty || !v.empty());
    };
    const auto tag = [&](std::string& to) {
        to = std::string(v);
        return v.empty() || isHex(v, 32);
    };
    bool ok = true;
    if (key == "format")
        ok = decimal<int>(v, 1, SiteReport::kFormat).has_value();
    else if (key == "site")
        ok = isHex(v, 32), r.site = std::string(v);
    else if (key == "version")
        ok = isVersion(v), r.version = std::string(v);
    else if (key == "command")
        ok = word(r.command, false);
    else if (key == "seq")
        ok = time(r.seq) && r.seq > 0;
    else if (key == "run")
        ok = isHex(v, 16), r.run = std::string(v);
    else if (key == "previous_run")
        ok = v.empty() || isHex(v, 16), r.previousRun = std::string(v);
    else if (key == "at")
        ok = time(r.at);
    else if (key == "exit")
        ok = decimal<int>(v, 0, 255).has_value(), r.exit = decimal<int>(v, 0, 255).value_or(0);
    else if (key == "outcome")
        ok = word(r.outcome, false);
    else if (key == "cause")
        ok = word(r.cause, true);
    else if (key == "phase")
        ok = word(r.phase, false);
    else if (key == "bytes")
        ok = time(r.bytes);
    else if (key == "seconds")
        ok = time(r.seconds);
    else if (key == "installed")
        ok = tag(r.installed);
    else if (key == "previous")
        ok = tag(r.previous);
    else if (key == "tried")
        ok = tag(r.tried);
    else if (key == "place")
        ok = decimal<int>(v, -1, 99).has_value(), r.place = decimal<int>(v, -1, 99).value_or(-1);
    else if (key == "group")
        ok = word(r.group, false);
    else if (key == "index_signed")
        ok = time(r.indexSigned);
    else if (key == "index_expires")
        ok = time(r.indexExpires);
    else if (key == "unsent_since")
        ok = time(r.unsentSince);
    else {
        const auto runs = readHistory(v);
        ok = runs.has_value();
        r.history = runs.value_or(std::vector<ReportedRun>{});
    }
    return ok;
}

}  // namespace

ReadReport readReport(std::string_view text)
{
    const auto refused = [](const QString& why) { return ReadReport{std::nullopt, why}; };
    if (text.size() > kMaxReportBytes)
        return refused(u"il rapporto è più grande di %1 byte"_s.arg(kMaxReportBytes));
    // The sum is the last line, over every byte before it.
    const std::size_t at = text.rfind(kSumLine);
    if (at == std::string_view::npos || !text.ends_with('\n') ||
        text.substr(at + kSumLine.size()) != sumOf(text.substr(0, at + 1)) + "\n")
        return refused(u"il rapporto è incompleto o alterato (la somma di controllo non torna)"_s);

    std::vector<std::string_view> keys(kKeys.begin(), kKeys.end());
    keys.push_back(kHistoryKey);
    const KeyValues read = readKeyValues(text.substr(0, at + 1), keys);
    if (!read)
        return refused(u"riga %1: %2"_s.arg(read.badLine).arg(read.cause.text));
    SiteReport r;
    std::size_t given = 0;
    for (const KeyValue& value : read.values) {
        if (!readValue(r, value.key, value.value))
            return refused(
                u"riga %1, chiave %2: valore non valido"_s.arg(value.line).arg(QString::fromLatin1(value.key)));
        ++given;
    }
    if (given != keys.size())
        return refused(u"mancano delle chiavi"_s);
    return {std::move(r), {}};
}

bool follows(const SiteReport& earlier, const SiteReport& later)
{
    if (later.seq <= earlier.seq)
        return false;
    if (later.previousRun == earlier.run)
        return true;
    bool sharesOne = false;
    for (const ReportedRun& one : later.history) {
        if (one.seq == earlier.seq)
            return one.run == earlier.run;
        sharesOne = sharesOne || one.seq < earlier.seq;
    }
    // Repeated runs from before `earlier` and none at its place: another copy.
    return !sharesOne && later.seq - earlier.seq > static_cast<std::int64_t>(later.history.size());
}

}  // namespace adv
