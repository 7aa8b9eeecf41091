// What a site tells the maker about its last run, one small file per site
// in the server's reports folder, rewritten by every run: no free text, no
// path, host or user name, only values from fixed lists and numbers, and a
// closing sum, so that a file cut short or changed on the way is named and
// never counted. No I/O.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adv {

// The reports folder, below the remote folder, as the maker reads it and a
// site writes it over its own session; a file in it is "<name>.report".
inline constexpr std::string_view kReportFolderName = "reports";
inline constexpr std::string_view kReportSuffix = ".report";
// A report file larger than this is refused unread.
inline constexpr std::size_t kMaxReportBytes = 4096;
// How many earlier runs a report repeats.
inline constexpr std::size_t kReportHistory = 5;

// One run, as later reports repeat it.
struct ReportedRun {
    std::int64_t seq = 0;
    std::string run;  // 16 hex digits drawn afresh by that run
    std::int64_t at = 0;
    int exit = 0;
    std::string outcome;
    bool operator==(const ReportedRun&) const = default;
};

struct SiteReport {
    static constexpr int kFormat = 1;
    std::string site;     // 32 hex digits, the file's name: a hash of the site id, not the id
    std::string version;  // this AggiornaDV's version
    std::string command;  // "update", "check", "window"
    std::int64_t seq = 1;
    std::string run;          // 16 hex digits drawn afresh by this run
    std::string previousRun;  // the run of the last report sent; empty for the first
    std::int64_t at = 0;      // when the run ended, by the site's clock
    int exit = 0;             // the run's exit status
    std::string outcome;      // the run's outcome ("updated", "download-failed"...)
    std::string cause;        // the failure's kind ("login", "connection"...); empty: none
    std::string phase;        // where the run ended ("connect", "index", "download", "install", "done")
    std::int64_t bytes = 0;   // downloaded by this run
    std::int64_t seconds = 0;
    std::string installed;             // 32 hex digits: the start of the installed release's hash; empty: unknown
    std::string previous;              // the same for the release kept as dolvo.exe.prev
    std::string tried;                 // the release this run tried to install; empty: none
    int place = -1;                    // the site's place (0-99) for the index's current release; -1: no index
    std::string group;                 // "pilota", "normale", "ultimo"
    std::int64_t indexSigned = 0;      // when the index followed was signed; 0: none
    std::int64_t indexExpires = 0;     // until when it holds; 0: no bound
    std::int64_t unsentSince = 0;      // the oldest run whose report could not be sent; 0: none
    std::vector<ReportedRun> history;  // earlier runs, newest first, at most kReportHistory

    // This run as later reports repeat it.
    ReportedRun asRun() const { return {seq, run, at, exit, outcome}; }
    bool operator==(const SiteReport&) const = default;
};

// The report file's name for a site id: a hash of it, so that the name
// tells nothing of the site's place in a staged release.
std::string reportName(std::string_view siteId);
// The 32 hex digits a report gives for a release hash.
std::string releaseTag(const unsigned char* hash64);

// Earlier runs as a report repeats them, on one line; and read back
// strictly (none: not of that form, or more than kReportHistory).
std::string historyText(const std::vector<ReportedRun>& runs);
std::optional<std::vector<ReportedRun>> readHistory(std::string_view text);

// The report as stored, ending in its sum; read back, it is this report.
std::string reportText(const SiteReport& report);

struct ReadReport {
    std::optional<SiteReport> report;
    QString problem;  // Italian: why it is not counted
};
// Strict: a missing or wrong sum (a file cut short), a later format, an
// unknown key or a value out of its list refuses the whole report.
ReadReport readReport(std::string_view text);

// Whether `later` comes from the same installation as `earlier`: a later
// sequence number whose previous run, or repeated runs, hold `earlier`'s
// run. A copy of an installation (a disk image cloned with its site id)
// draws its own runs, so two copies' reports do not follow each other.
// Runs too far apart to share a repeated run are taken to follow.
bool follows(const SiteReport& earlier, const SiteReport& later);

}  // namespace adv
