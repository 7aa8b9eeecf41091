// The site's report of each run (SiteReport.h), made at the run's end and
// left on the server over the session the run already has; what it could
// not send goes with the next run that has one. What the reports said so
// far is kept beside the site's id.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/channel/SiteReport.h"
#include "app/site/HeldSession.h"
#include "app/site/UpdateReport.h"
#include "install/FileReplacement.h"

namespace adv {

struct Config;
class InstallSite;

// What the site's reports said so far.
struct ReportState {
    std::int64_t seq = 0;              // the last report's
    std::string sentRun;               // the run of the last report sent; empty: none yet
    std::int64_t unsentSince = 0;      // when the oldest run not sent since ended; 0: none
    std::vector<ReportedRun> history;  // the last runs, newest first, at most kReportHistory
    bool operator==(const ReportState&) const = default;
};

std::string reportStateText(const ReportState& state);
// Strict: none when the text is not of that form.
std::optional<ReportState> readReportState(std::string_view text);

// Where the state is kept: beside the site's id.
QString reportStateFile(const Config& config);

// How one run went, as its caller saw it.
struct RunSeen {
    std::string_view command;  // "update", "check", "window"
    std::int64_t started = 0;
    std::int64_t ended = 0;
    RunPhase phase = RunPhase::Start;
    std::int64_t bytes = 0;
};

// The report of the run that ended in `report`, and the state after it.
// Without its release record readable, the installed and previous releases
// are unknown.
SiteReport makeReport(const ReportState& before, const UpdateReport& report, const RunSeen& seen, const Config& config,
                      std::string_view siteId, const install::ReleaseRecord* record);
ReportState stateAfter(const ReportState& before, const SiteReport& made, bool sent);

// Made, sent over `session` (or the report account's own session), and the
// state kept; one line in the log says whether it went. Returns the
// report's text; empty when none could be made (no site id kept).
std::string reportRun(HeldSession& session, InstallSite& site, const Config& config, const UpdateReport& report,
                      const RunSeen& seen);

}  // namespace adv
