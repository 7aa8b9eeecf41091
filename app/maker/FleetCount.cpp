#include "app/maker/FleetCount.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace adv {
namespace {

// The stage a site takes the current release at, as the site decides it:
// a pilot at the first, a last one at the last, any other by its place.
std::size_t stageOf(const Rollout& rollout, const SiteReport& report)
{
    const std::size_t last = rollout.stages.size() - 1;
    if (report.group == "pilota")
        return 0;
    if (report.group == "ultimo")
        return last;
    for (std::size_t i = 0; i < last; ++i) {
        if (rollout.stages[i].percent > report.place)
            return i;
    }
    return last;
}

// The server's clock says when the file last changed; the site's may be
// anywhere.
std::int64_t heardAt(const FleetEntry& entry)
{
    return entry.modified.value_or(entry.report->at);
}

class Counter {
public:
    Counter(const ReleaseIndex* current, std::int64_t now) : current_(current), now_(now)
    {
        if (current_ && !current_->rollout.paused)
            count_.byStage.assign(current_->rollout.stages.size(), 0);
        if (current_)
            tag_ = releaseTag(current_->hash.data());
    }

    void add(const FleetEntry& entry)
    {
        if (!entry.report) {
            count_.unread.emplace_back(entry.name, entry.problem);
            return;
        }
        const SiteReport& report = *entry.report;
        ++count_.sites;
        ++count_.byInstalled[report.installed];
        ++count_.byVersion[report.version];
        if (now_ - heardAt(entry) >= kSilentSeconds)
            count_.silent.push_back(entry.name);
        if (entry.clone)
            count_.clones.push_back(entry.name);
        stage(report);
        tried(entry);
    }

    FleetCount done()
    {
        count_.causes.assign(causes_.begin(), causes_.end());
        std::stable_sort(count_.causes.begin(), count_.causes.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        return std::move(count_);
    }

private:
    // A place is for the release of the index the site read: one signed
    // before the current release names another.
    void stage(const SiteReport& report)
    {
        if (count_.byStage.empty())
            return;
        if (report.place < 0 || report.indexSigned < current_->signedAt) {
            ++count_.placeUnknown;
            return;
        }
        const std::size_t at = stageOf(current_->rollout, report);
        if (current_->signedAt + current_->rollout.stages[at].delay.count() * 3600 <= now_)
            ++count_.byStage[at];
        else
            ++count_.waiting;
    }

    void tried(const FleetEntry& entry)
    {
        if (tag_.empty())
            return;
        const bool triedIt = entry.lastTry.tag == tag_;
        if (!triedIt && entry.report->installed != tag_)
            return;
        ++count_.tried;
        if (triedIt && !entry.lastTry.installed && entry.report->installed != tag_) {
            ++count_.failed;
            ++causes_[entry.lastTry.cause];
        }
    }

    const ReleaseIndex* current_;
    std::int64_t now_;
    std::string tag_;
    FleetCount count_;
    std::map<std::string, std::size_t> causes_;
};

}  // namespace

namespace {

// A run that failed for the network, the server, the machine or the
// operator says nothing of the release: it is not a try at it. A night of
// trouble with the server must not pause a good release.
bool saysNothingOfTheRelease(const SiteReport& report)
{
    static constexpr std::array<std::string_view, 8> kCauses{"connection", "login",    "tls",   "untrusted",
                                                             "folder",     "transfer", "local", "refused"};
    static constexpr std::array<std::string_view, 5> kOutcomes{"interrupted", "program-running", "another-update",
                                                               "connect-failed", "index-expired"};
    return std::find(kCauses.begin(), kCauses.end(), report.cause) != kCauses.end() ||
           std::find(kOutcomes.begin(), kOutcomes.end(), report.outcome) != kOutcomes.end();
}

}  // namespace

LastTry nextTry(const LastTry& before, const SiteReport& report)
{
    if (!report.tried.empty() && report.installed != report.tried && saysNothingOfTheRelease(report))
        return before;
    if (!report.tried.empty())
        return {report.tried, report.installed == report.tried,
                report.installed == report.tried ? std::string()
                : report.cause.empty()           ? report.outcome
                                                 : report.cause};
    if (!before.tag.empty() && report.installed == before.tag)
        return {before.tag, true, {}};
    return before;
}

FleetCount countFleet(const std::vector<FleetEntry>& entries, const ReleaseIndex* current, std::int64_t now)
{
    Counter counter(current, now);
    for (const FleetEntry& entry : entries)
        counter.add(entry);
    return counter.done();
}

std::optional<std::int64_t> readThreshold(std::string_view text)
{
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view part = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    const auto digits = [](std::string_view s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.empty() || whole.size() > 3 || !digits(whole) || part.size() > 3 || !digits(part) ||
        (dot != std::string_view::npos && part.empty()))
        return std::nullopt;
    std::int64_t n = 0;
    std::from_chars(whole.data(), whole.data() + whole.size(), n);
    std::int64_t fraction = 0;
    for (std::size_t i = 0; i < 3; ++i)
        fraction = fraction * 10 + (i < part.size() ? part[i] - '0' : 0);
    n = n * 1000 + fraction;
    if (n > 100'000)
        return std::nullopt;
    return n;
}

bool pauseDue(std::size_t tried, std::size_t failed, std::int64_t thousandths)
{
    return tried >= kFewestTriesToPause &&
           static_cast<std::int64_t>(failed) * 100'000 > thousandths * static_cast<std::int64_t>(tried);
}

}  // namespace adv
