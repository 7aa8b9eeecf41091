#include "app/maker/FleetCommand.h"

#include <map>
#include <utility>
#include <vector>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/channel/SiteReport.h"
#include "app/maker/FleetCount.h"
#include "app/maker/FleetMemory.h"
#include "app/maker/FleetTexts.h"
#include "app/maker/MakerTexts.h"
#include "app/maker/PublishCommand.h"
#include "app/maker/ServerFiles.h"

namespace adv {
namespace {

// A report proves itself whole by its sum, and sites put theirs in place by
// a rename: the session need not ask the server for the file's size before
// and after, which would take four more commands a report.
class ReportSink final : public platform::FtpSink {
public:
    platform::FtpResult take(const char* data, std::size_t size) override
    {
        text.append(data, size);
        return {};
    }
    std::int64_t capacity() const override { return static_cast<std::int64_t>(kMaxReportBytes); }
    bool checksWhole() const override { return true; }
    std::string text;
};

class Fleet {
public:
    Fleet(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config)
        : ui_(ui), config_(config), server_(ftp, config)
    {
    }

    // The session's part: the index, the kept releases, the reports.
    PublishFailure read()
    {
        platform::FtpPublishSession& ftp = server_.ftp();
        say(makertext::connecting(config_.host));
        if (const platform::FtpResult step = server_.open([this] { return ui_.stopRequested(); }); !step)
            return PublishReport{PublishOutcome::ConnectFailed, text::ftpCause(step, config_)};
        if (const auto stored = server_.fetch(kIndexName, kMaxIndexBytes)) {
            if (StoredIndex read = readStoredIndex(*stored, config_.publicKey); read.authentic && read.index)
                current_ = std::move(read.index);
            else
                say(makertext::kIndexNotOurs);
        }
        kept_ = server_.releaseNames();
        std::vector<platform::FtpPublishSession::Listed> listed;
        const platform::FtpResult list = ftp.ListFacts(std::string(kReportFolderName), listed, kMaxFleetReports);
        // No site has written a report yet: nothing to count, no failure.
        if (list.failure == platform::FtpFailure::Folder || list.failure == platform::FtpFailure::RemoteFile) {
            say(fleettext::kNoReportFolder);
            listed.clear();
        } else if (!list) {
            ftp.CloseSession();
            return PublishReport{PublishOutcome::ServerFailed,
                                 fleettext::listFailed(text::ftpCause(list, config_).text)};
        }
        reports(listed);
        ftp.CloseSession();
        return std::nullopt;
    }

    FleetCount count(std::int64_t now) const { return countFleet(entries_, current_ ? &*current_ : nullptr, now); }
    const std::optional<ReleaseIndex>& current() const { return current_; }
    const std::vector<std::string>& kept() const { return kept_; }

private:
    void say(const QString& line) { ui_.AppendStatus(line); }

    // Each report file as this run has it: fetched again only when its
    // listed size or stamp changed, else as kept; what the folder no longer
    // lists is forgotten.
    void reports(const std::vector<platform::FtpPublishSession::Listed>& listed)
    {
        FleetMemory memory = recallFleet(config_);
        if (!memory.problem.isEmpty())
            say(fleettext::memoryIgnored(memory.problem));
        std::map<std::string, FleetRecord> now;
        const bool entered = server_.enter(kReportFolderName);
        std::size_t fetched = 0, files = 0;
        for (const platform::FtpPublishSession::Listed& file : listed) {
            if (!isReportName(file.name) || now.contains(file.name))
                continue;
            ++files;
            const auto before = memory.records.find(file.name);
            const FleetRecord* kept = before == memory.records.end() ? nullptr : &before->second;
            FleetRecord& record = now[file.name] = kept ? *kept : FleetRecord{};
            const std::string stamp = file.stamp.substr(0, kMaxStampBytes);
            const bool changed = !kept || kept->size != file.size || kept->stamp != stamp || stamp.empty();
            bool missed = false;
            if (changed && file.size.value_or(0) <= std::int64_t(kMaxReportBytes)) {
                ++fetched;
                missed = !fetch(file, record, entered);
            } else if (changed) {
                record = {file.size, stamp, {}, false, record.lastTry};
            }
            entries_.push_back(entry(file, record, missed));
        }
        server_.enter();
        say(fleettext::fetched(fetched, files));
        memory.records = std::move(now);
        if (!memory.path.isEmpty() && !rememberFleet(memory))
            say(fleettext::memoryNotKept(memory.path));
    }

    // A report that does not follow the one kept for the same file comes
    // from another copy of the installation.
    bool fetch(const platform::FtpPublishSession::Listed& file, FleetRecord& record, bool entered)
    {
        ReportSink sink;
        if (!entered || !server_.ftp().FetchFile(file.name, sink)) {
            // Kept as it was, but fetched again the next time.
            record.stamp.clear();
            return false;
        }
        const ReadReport earlier = readReport(record.text), later = readReport(sink.text);
        if (later.report) {
            record.clone =
                earlier.report && *earlier.report != *later.report && !follows(*earlier.report, *later.report);
            record.lastTry = nextTry(record.lastTry, *later.report);
        }
        // One that does not read is fetched again the next time: it may
        // have been cut on the way.
        record.size = file.size;
        record.stamp = later.report ? file.stamp.substr(0, kMaxStampBytes) : std::string();
        record.text = std::move(sink.text);
        return true;
    }

    FleetEntry entry(const platform::FtpPublishSession::Listed& file, const FleetRecord& record, bool missed)
    {
        FleetEntry one{file.name, std::nullopt, {}, file.modified, record.clone, record.lastTry};
        if (file.size.value_or(0) > std::int64_t(kMaxReportBytes))
            one.problem = fleettext::kTooLarge;
        else if (missed)
            one.problem = fleettext::kNotFetched;
        else if (ReadReport read = readReport(record.text); !read.report)
            one.problem = read.problem;
        else if (read.report->site + std::string(kReportSuffix) != file.name)
            one.problem = fleettext::kNotItsName;
        else
            one.report = std::move(read.report);
        return one;
    }

    UpdateUi& ui_;
    const Config& config_;
    ServerFiles server_;
    std::optional<ReleaseIndex> current_;
    std::vector<std::string> kept_;
    std::vector<FleetEntry> entries_;
};

}  // namespace

PublishReport FleetCommand(UpdateUi& ui, platform::FtpPublishSession& ftp, const Config& config,
                           const FleetRequest& request, const AskPassword& askPassword, std::int64_t now)
{
    if (!config.publicKey)
        return {PublishOutcome::Refused, makertext::kNoPublicKeyForStatus};
    Fleet fleet(ui, ftp, config);
    if (PublishFailure failed = fleet.read())
        return *failed;
    const FleetCount count = fleet.count(now);
    const ReleaseIndex* current = fleet.current() ? &*fleet.current() : nullptr;
    for (const QString& line : fleettext::countLines(count, current, fleet.kept()))
        ui.AppendStatus(line);
    if (!request.autoPause)
        return {PublishOutcome::Published, {}};
    const std::int64_t threshold = *request.autoPause;
    if (!current || current->rollout.paused) {
        ui.AppendStatus(current ? fleettext::kAlreadyPaused : fleettext::kNothingToPause);
        return {PublishOutcome::Published, {}};
    }
    if (!pauseDue(count.tried, count.failed, threshold)) {
        ui.AppendStatus(fleettext::notPaused(count, threshold));
        return {PublishOutcome::Published, {}};
    }
    PublishRequest pause;
    pause.action = PublishAction::ChangeRollout;
    pause.rollout = *Rollout::parse("pausa");
    const PublishReport paused = PublishCommand(ui, ftp, config, pause, askPassword, now);
    if (paused.outcome != PublishOutcome::Published)
        return paused;
    return {PublishOutcome::AutoPaused, fleettext::pausedBecause(count, threshold)};
}

}  // namespace adv
