#include "app/site/ReleaseGate.h"

namespace adv {

ReleaseVerdict judgeRelease(const minisign::Signature& offered, const install::ReleaseRecord& record, std::int64_t now)
{
    const std::int64_t signedAt = offered.timestamp();
    if (signedAt > now + kFutureSlackSeconds)
        return ReleaseVerdict::Future;
    const auto installedHash = minisign::hashFromHex(record.installed.hash);
    if (record.installed.signedAt == signedAt && installedHash && offered.verifies(*installedHash))
        return ReleaseVerdict::AlreadyCurrent;
    if (record.floor && signedAt < *record.floor)
        return ReleaseVerdict::Older;
    return ReleaseVerdict::Take;
}

std::optional<std::int64_t> legacyFloor(const minisign::Signature& kept, std::int64_t now)
{
    if (kept.timestamp() > now + kFutureSlackSeconds)
        return std::nullopt;
    return kept.timestamp();
}

}  // namespace adv
