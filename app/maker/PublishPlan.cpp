#include "app/maker/PublishPlan.h"

#include <algorithm>

#include "app/channel/ServerLayout.h"
#include "app/maker/MakerTexts.h"
#include "platform/Strings.h"

namespace adv {

namespace {

Planned refusedWith(Cause why)
{
    return {std::nullopt, std::move(why)};
}

// The sites' plan: the maker's, counted from the index's start rather
// than the release's signed time, in whole hours (a stage opens at most an
// hour early, never late).
Planned scheduled(ReleaseIndex index, const Rollout& plan)
{
    if (plan.paused) {
        index.rollout = plan;
        return {std::move(index), {}};
    }
    const std::int64_t hours = std::max<std::int64_t>(0, (index.planStart() - index.signedAt) / 3600);
    index.rollout = plan.shifted(hours);
    if (std::chrono::hours(kMaxDelayHours) < index.rollout.stages.back().delay)
        return refusedWith(makertext::planTooLate(index.signedAt));
    return {std::move(index), {}};
}

}  // namespace

Planned releasePlanned(const std::optional<ReleaseIndex>& current, ReleaseIndex next, const Rollout& plan,
                       std::int64_t now, bool reinstate)
{
    if (current) {
        if (current->isWithdrawn(next.hash) && !reinstate)
            return refusedWith(makertext::withdrawnAgain(next.signedAt));
        next.withdrawn = current->withdrawn;
        std::erase(next.withdrawn, next.hash);
        // The way back is to the last release that was good.
        next.replaces = current->isWithdrawn(current->hash) ? current->replaces : std::optional(current->hash);
    }
    next.from = now;
    next.keptPlan.reset();
    next.reached = 0;
    return scheduled(std::move(next), plan);
}

Planned planChanged(const ReleaseIndex& current, const Rollout& plan, std::int64_t now)
{
    ReleaseIndex next = current;
    if (plan.paused) {
        if (current.rollout.paused)
            return {std::move(next), {}};
        next.keptPlan =
            current.rollout.shifted(-std::max<std::int64_t>(0, (current.planStart() - current.signedAt) / 3600));
        next.reached = current.rollout.reachedAt(current.signedAt, now);
        next.rollout = plan;
        return {std::move(next), {}};
    }
    Rollout going = plan;
    if (current.rollout.paused) {
        going = plan.resumedFrom(current.reached);
        next.from = now;
    }
    next.keptPlan.reset();
    next.reached = 0;
    return scheduled(std::move(next), going);
}

WithdrawTarget withdrawTarget(const ReleaseIndex& current, std::string_view named)
{
    if (!named.empty()) {
        const bool hex = named.size() >= 8 && named.size() <= 128 &&
                         std::all_of(named.begin(), named.end(), platform::isLowerHexDigit);
        if (!hex)
            return {{}, makertext::badTargetHash(named)};
        return {std::string(named), {}};
    }
    if (!current.replaces)
        return {{}, makertext::kNoReplacedRelease};
    return {minisign::toHex(*current.replaces), {}};
}

bool isTarget(const minisign::Hash& hash, std::string_view hex)
{
    return minisign::toHex(hash).starts_with(hex);
}

Planned withdrawnFor(const ReleaseIndex& current, ReleaseIndex target)
{
    if (target.hash == current.hash)
        return refusedWith(makertext::kTargetIsCurrent);
    if (current.isWithdrawn(target.hash))
        return refusedWith(makertext::targetWithdrawn(target.signedAt));
    if (target.signedAt >= current.signedAt)
        return refusedWith(makertext::targetNotOlder(target.signedAt, current.signedAt));
    target.withdrawn = current.withdrawn;
    target.withdrawn.push_back(current.hash);
    target.replaces.reset();
    target.from = 0;
    target.keptPlan.reset();
    target.reached = 0;
    target.rollout = Rollout{};
    return {std::move(target), {}};
}

std::int64_t indexSigningTime(std::int64_t now, std::int64_t servedIndexSignedAt)
{
    if (servedIndexSignedAt > now + kFutureSlackSeconds)
        return now;
    return std::max(now, servedIndexSignedAt + 1);
}

ClockCheck checkClock(std::int64_t now, std::optional<std::int64_t> serverTime)
{
    if (!serverTime)
        return {std::nullopt, makertext::kNoServerTime};
    constexpr std::int64_t kFurthestZone = 14 * 60 * 60 + kClockToleranceSeconds;
    const std::int64_t off = *serverTime - now;
    if (off <= kClockToleranceSeconds && -off <= kClockToleranceSeconds)
        return {};
    if (off <= kFurthestZone && -off <= kFurthestZone)
        return {std::nullopt, makertext::serverZone(off)};
    return {makertext::clockOff(now, *serverTime), {}};
}

std::vector<std::string> prunable(const std::vector<std::string>& names, int keep, const ReleaseIndex& index)
{
    const std::string current(releaseFileOf(index.release));
    const auto withdrawn = [&index](std::string_view name) {
        return std::any_of(index.withdrawn.begin(), index.withdrawn.end(), [name](const minisign::Hash& one) {
            return minisign::toHex(one).starts_with(releaseHashStart(name));
        });
    };
    const auto newestGood = std::find_if_not(names.rbegin(), names.rend(), withdrawn);
    std::vector<std::string> gone;
    for (std::size_t i = 0; i + static_cast<std::size_t>(std::max(keep, 0)) < names.size(); ++i) {
        const std::string& name = names[i];
        const bool replaced = index.replaces && isTarget(*index.replaces, releaseHashStart(name));
        if (name != current && !replaced && (newestGood == names.rend() || name != *newestGood))
            gone.push_back(name);
    }
    return gone;
}

}  // namespace adv
