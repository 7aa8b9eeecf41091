// What the maker's commands decide before they change the server, from the
// index the server holds (already checked with the maker's key), the
// request and the clock: the next index, or why not. No I/O; each step of
// PublishCommand asks here, then acts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/channel/ReleaseIndex.h"
#include "app/core/Failure.h"

namespace adv {

struct Planned {
    std::optional<ReleaseIndex> index;
    Cause refused;  // when there is no index
};

// A new release (its file, size, hash and signed time in `next`) over the
// current index, if there is one, its stages counted from `now`. A release
// the maker withdrew comes back only when `reinstate` says so, and then
// leaves the withdrawn list.
Planned releasePlanned(const std::optional<ReleaseIndex>& current, ReleaseIndex next, const Rollout& plan,
                       std::int64_t now, bool reinstate);

// Another plan for the current release: a pause keeps the plan and the
// share reached; a plan after a pause goes on from that share, counted from
// `now`; any other plan counts from when the release was published.
Planned planChanged(const ReleaseIndex& current, const Rollout& plan, std::int64_t now);

// Which kept release a withdrawal may go back to: `named`, a hash or its
// first hex digits the maker gave, else the release the current one
// replaced. Nothing, with why, when neither says.
struct WithdrawTarget {
    std::string hex;  // the hash, or the start of it
    Refusal refused;
};
WithdrawTarget withdrawTarget(const ReleaseIndex& current, std::string_view named);
// Whether a kept release with this hash is the target.
bool isTarget(const minisign::Hash& hash, std::string_view hex);

// The current release withdrawn for `target` (a kept release, checked with
// the key; its file, size, hash and signed time filled), for every site.
Planned withdrawnFor(const ReleaseIndex& current, ReleaseIndex target);

// When to sign the index: never before the one the server holds, which
// sites may have seen (unless that one is dated further ahead than any site
// accepts, so none took it).
std::int64_t indexSigningTime(std::int64_t now, std::int64_t servedIndexSignedAt);

// A maker's clock this far from the server's signs dates sites misjudge.
// The server's time is a file's, as it gives it: some give their local time
// (vsftpd as Debian ships it), so a difference up to 14 hours, the furthest
// time zone, may be the server's zone rather than a clock off: it is said,
// not refused; sites allow a day. A server that gives no time leaves the
// clock unchecked, and that is said too.
inline constexpr std::int64_t kClockToleranceSeconds = 5 * 60;
struct ClockCheck {
    Refusal refused;
    QString note;  // a line for the maker, when there is one
};
ClockCheck checkClock(std::int64_t now, std::optional<std::int64_t> serverTime);

// The release files to delete (`names` oldest first): all but the newest
// `keep`, never the index's release, the one it replaced, nor the newest
// one not withdrawn.
std::vector<std::string> prunable(const std::vector<std::string>& names, int keep, const ReleaseIndex& index);

}  // namespace adv
