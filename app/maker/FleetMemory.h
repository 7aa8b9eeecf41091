// What the maker's machine keeps of a server's reports between two --fleet
// runs: each file's listed size and stamp, so that only what changed is
// fetched again, and its text, so that the next report of the same file can
// be held against it. Beside the key, one file per server and folder. Lost
// or damaged, it costs a run that fetches every report again, nothing more.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/Config.h"
#include "app/maker/FleetCount.h"

namespace adv {

// The most report files --fleet takes from one folder.
inline constexpr std::size_t kMaxFleetReports = 50'000;
// A listed stamp is kept to this many bytes: a server's words, of any length.
inline constexpr std::size_t kMaxStampBytes = 64;

// A name a site gives its report: its hash, then ".report"; whatever else
// the folder holds is not looked at.
bool isReportName(std::string_view name);

struct FleetRecord {
    std::optional<std::int64_t> size;
    std::string stamp;
    std::string text;  // as fetched; empty: not fetched (larger than a report may be)
    bool clone = false;
    LastTry lastTry;
    bool operator==(const FleetRecord&) const = default;
};

struct FleetMemory {
    QString path;                                // empty: no signing_key, nowhere to keep it
    std::map<std::string, FleetRecord> records;  // by file name
    QString problem;                             // why what was kept is not used (Italian); empty: none
};

// The record of the configuration's server and folder: none when there is
// none yet, or when it is not a file of ours that reads (then with why).
FleetMemory recallFleet(const Config& config);
// Whole or not at all, readable by this user only.
bool rememberFleet(const FleetMemory& memory);

// The record's form, apart from the file.
std::string fleetText(const std::map<std::string, FleetRecord>& records);
std::optional<std::map<std::string, FleetRecord>> readFleetText(std::string_view text);

}  // namespace adv
