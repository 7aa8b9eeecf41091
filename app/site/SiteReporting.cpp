#include "app/site/SiteReporting.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cstdint>

#include "app/channel/Minisign.h"
#include "app/core/Config.h"
#include "app/core/ExitStatus.h"
#include "app/core/KeyValueText.h"
#include "app/core/RunLog.h"
#include "app/site/Installation.h"
#include "app/site/KeptFile.h"
#include "app/site/Stages.h"
#include "app/site/UpdateTexts.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// A few lines; more is not the state this program wrote.
constexpr std::size_t kMaxStateBytes = 1024;
constexpr std::array<std::string_view, 4> kStateKeys{"seq", "sent_run", "unsent_since", "history"};

std::optional<std::int64_t> count(std::string_view text)
{
    return decimal<std::int64_t>(text, 0, INT64_MAX);
}

std::string_view groupWord(SiteGroup group)
{
    switch (group) {
    case SiteGroup::Pilot: return "pilota";
    case SiteGroup::Normal: return "normale";
    case SiteGroup::Last: return "ultimo";
    }
    return "normale";
}

std::string tagOf(const std::string& hexHash)
{
    return hexHash.size() == 2 * minisign::Hash().size() ? hexHash.substr(0, 32) : std::string();
}

// Where the run ended: a run that ended well got through; one stopped at
// the swap had its release already.
std::string_view phaseOf(const UpdateReport& report, RunPhase reached)
{
    if (exitStatus(report.outcome) == ExitStatus::Success)
        return "done";
    if (reached == RunPhase::Download &&
        (report.outcome == UpdateOutcome::ProgramRunning || report.outcome == UpdateOutcome::RollBackFailed))
        return "install";
    return phaseWord(reached);
}

// Over the report account's own short session, into its folder.
platform::FtpResult sendApart(HeldSession& session, const Config& config, const std::string& name,
                              std::string_view text)
{
    session.closeNow();
    session.setHostname(config.host);
    session.setUsername(config.reportUser);
    session.setPassword(config.reportPassword);
    if (platform::FtpResult opened = session.OpenSession(); !opened)
        return opened;
    const std::string folder =
        config.reportFolder.empty() ? config.remoteFolder + "/" + std::string(kReportFolderName) : config.reportFolder;
    platform::FtpResult placed = session.placeBelow(folder, {}, name, text);
    session.closeNow();
    return placed;
}

}  // namespace

std::string reportStateText(const ReportState& state)
{
    return "# AggiornaDV: what this site's reports said so far\nseq = " + std::to_string(state.seq) +
           "\nsent_run = " + state.sentRun + "\nunsent_since = " + std::to_string(state.unsentSince) +
           "\nhistory = " + historyText(state.history) + "\n";
}

std::optional<ReportState> readReportState(std::string_view text)
{
    const KeyValues read = readKeyValues(text, kStateKeys);
    if (!read || read.values.size() != kStateKeys.size())
        return std::nullopt;
    ReportState state;
    for (const KeyValue& value : read.values) {
        std::optional<std::int64_t> n = count(value.value);
        if (value.key == "seq" && n)
            state.seq = *n;
        else if (value.key == "unsent_since" && n)
            state.unsentSince = *n;
        else if (value.key == "sent_run" && (value.value.empty() || value.value.size() == 16))
            state.sentRun = std::string(value.value);
        else if (value.key != "history")
            return std::nullopt;
        else if (auto history = readHistory(value.value))
            state.history = std::move(*history);
        else
            return std::nullopt;
    }
    if (!state.sentRun.empty() && !std::all_of(state.sentRun.begin(), state.sentRun.end(), isLowerHexDigit))
        return std::nullopt;
    return state;
}

QString reportStateFile(const Config& config)
{
    return QDir::toNativeSeparators(QFileInfo(siteIdFile(config)).absolutePath() + u"/AggiornaDV.report-state"_s);
}

SiteReport makeReport(const ReportState& before, const UpdateReport& report, const RunSeen& seen, const Config& config,
                      std::string_view siteId, const install::ReleaseRecord* record)
{
    SiteReport made;
    made.site = reportName(siteId).substr(0, 32);
    made.version = ADV_VERSION;
    made.command = std::string(seen.command);
    made.seq = before.seq + 1;
    made.run = minisign::randomHex(8);
    made.previousRun = before.sentRun;
    made.at = seen.ended;
    made.exit = code(exitStatus(report.outcome));
    made.outcome = std::string(outcomeWord(report.outcome));
    // A local failure of a download says so; the others are their outcome.
    made.cause = std::string(!report.causeKind.empty()                         ? report.causeKind
                             : report.outcome == UpdateOutcome::DownloadFailed ? "local"
                                                                               : "");
    made.phase = std::string(phaseOf(report, seen.phase));
    made.bytes = seen.bytes;
    made.seconds = std::max<std::int64_t>(0, seen.ended - seen.started);
    if (record) {
        made.installed = tagOf(record->installed.hash);
        made.previous = tagOf(record->previous.hash);
    }
    made.tried = tagOf(report.tried);
    if (const auto hash = minisign::hashFromHex(report.indexRelease))
        made.place = sitePlace(siteId, *hash);
    made.group = std::string(groupWord(config.group));
    made.indexSigned = report.indexSigned;
    made.indexExpires = report.indexExpires;
    made.unsentSince = before.unsentSince;
    made.history = before.history;
    return made;
}

ReportState stateAfter(const ReportState& before, const SiteReport& made, bool sent)
{
    ReportState after{made.seq,
                      sent ? made.run : before.sentRun,
                      sent ? 0 : (before.unsentSince != 0 ? before.unsentSince : made.at),
                      {made.asRun()}};
    for (const ReportedRun& one : before.history) {
        if (after.history.size() < kReportHistory)
            after.history.push_back(one);
    }
    return after;
}

std::string reportRun(HeldSession& session, InstallSite& site, const Config& config, const UpdateReport& report,
                      const RunSeen& seen)
{
    const QString later = u", sarà inviato alla prossima esecuzione"_s;
    // An id drawn for this run alone would leave a new file on the server each night.
    const SiteId id = siteId(config, siteIdFile(config));
    if (!id.cause.isEmpty()) {
        runlog::write(u"Rapporto non inviato: "_s + id.cause.logged());
        return {};
    }
    const QString stateFile = reportStateFile(config);
    const QString shown = QDir::toNativeSeparators(QFileInfo(stateFile).absoluteFilePath());
    const KeptText kept = readKept(stateFile, kMaxStateBytes);
    if (!kept.problem.isEmpty()) {
        runlog::write(
            u"Rapporto non inviato: lo stato dei rapporti in %1 non si può usare (%2)"_s.arg(shown, kept.problem));
        return {};
    }
    ReportState before;
    if (kept.text) {
        if (std::optional<ReportState> read = readReportState(*kept.text))
            before = std::move(*read);
        else
            runlog::write(u"Lo stato dei rapporti in %1 non è leggibile: i rapporti ricominciano da capo"_s.arg(shown));
    }
    const Installation installation = openInstallation(site, config, false, true);
    const SiteReport made = makeReport(before, report, seen, config, id.id,
                                       installation.replacement ? &installation.replacement->record() : nullptr);
    const std::string text = reportText(made);
    const std::string name = reportName(id.id);
    // The report's account is tried even where the run's was refused, but
    // not where the server could not be reached at all.
    const bool apart =
        !config.reportUser.empty() && (report.outcome != UpdateOutcome::ConnectFailed || report.causeKind == "login");
    // Kept as not sent before it goes: a run cut after the upload must not
    // send this sequence number again under another run value, which the
    // maker would take for a copy of the installation.
    const auto keep = [&](bool sent) {
        const QString problem = writeKept(stateFile, reportStateText(stateAfter(before, made, sent)));
        if (!problem.isEmpty())
            runlog::write(u"Lo stato dei rapporti non si può conservare in %1 (%2)"_s.arg(shown, problem));
        return problem.isEmpty();
    };
    if (!keep(false)) {
        session.closeNow();
        runlog::write(u"Rapporto non inviato"_s + later);
        return text;
    }
    const platform::FtpResult sent =
        apart ? sendApart(session, config, name, text)
              : session.placeBelow(config.remoteFolder, std::string(kReportFolderName), name, text);
    session.closeNow();
    runlog::write(sent ? u"Rapporto inviato al server"_s
                       : u"Rapporto non inviato: "_s + text::ftpCause(sent, config).logged() + later);
    if (sent)
        keep(true);
    return text;
}

}  // namespace adv
