// --fleet's count: what the sites' reports say of the fleet, from the
// reports alone and what the maker's machine kept of them, the index and
// the clock. No I/O: the fetching and the printing are the caller's.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/SiteReport.h"

namespace adv {

// A site not heard from for this long is silent.
inline constexpr std::int64_t kSilentSeconds = 7 * 24 * 3600;
// The fewest tries of the current release that let --auto-pause judge it.
inline constexpr std::size_t kFewestTriesToPause = 20;

// A site's last try at a release, carried from run to run: a report names
// only what its own run tried, and a site that failed and then waited out a
// pause still counts as failed.
struct LastTry {
    std::string tag;  // the release tried; empty: none known
    bool installed = false;
    std::string cause;  // why it did not install: the report's cause, else its outcome
    bool operator==(const LastTry&) const = default;
};
LastTry nextTry(const LastTry& before, const SiteReport& report);

// One report file of the folder, as this run has it.
struct FleetEntry {
    std::string name;
    std::optional<SiteReport> report;      // none: it does not read
    QString problem;                       // why not (Italian)
    std::optional<std::int64_t> modified;  // as the server listed it
    bool clone = false;                    // it does not follow the report kept from before
    LastTry lastTry;
};

struct FleetCount {
    std::size_t sites = 0;                                    // reports counted
    std::map<std::string, std::size_t> byInstalled;           // by release tag; "": unknown
    std::map<std::string, std::size_t> byVersion;             // by AggiornaDV's version
    std::vector<std::size_t> byStage;                         // the current plan's stages, as they have begun
    std::size_t waiting = 0;                                  // at a place the plan has not reached yet
    std::size_t placeUnknown = 0;                             // no place for the current release
    std::size_t tried = 0, failed = 0;                        // the current release
    std::vector<std::pair<std::string, std::size_t>> causes;  // of the failures, most first
    std::vector<std::string> silent, clones;                  // by name
    std::vector<std::pair<std::string, QString>> unread;      // by name, and why
};

// The sites that tried the current release (tag of `current`, when there is
// an index) against the reports; `now` by the maker's clock.
FleetCount countFleet(const std::vector<FleetEntry>& entries, const ReleaseIndex* current, std::int64_t now);

// --auto-pause's threshold: a percentage with at most three decimals, in
// thousandths of a percent; nothing when it is not one.
std::optional<std::int64_t> readThreshold(std::string_view text);
// Enough tries, and strictly more of them failed than the threshold.
bool pauseDue(std::size_t tried, std::size_t failed, std::int64_t thousandths);

}  // namespace adv
