#include "app/channel/Freshness.h"

#include <algorithm>

#include "app/channel/ServerLayout.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

std::int64_t span(const ReleaseIndex& index)
{
    return std::int64_t{index.validDays} * 24 * 60 * 60;
}

}  // namespace

bool coveredAlone(const ReleaseIndex& index, std::int64_t indexSignedAt, std::int64_t now)
{
    return !index.validDays || now <= indexSignedAt + span(index);
}

Freshness freshness(const ReleaseIndex& index, std::int64_t indexSignedAt, const minisign::Hash& textHash,
                    const std::optional<std::string>& statement, std::int64_t now)
{
    Freshness fresh;
    if (!index.validDays)
        return fresh;
    fresh.until = indexSignedAt + span(index);
    if (!statement || !index.refreshKey)
        return fresh;
    const minisign::Checked checked = minisign::Signature::check(*statement, *index.refreshKey, kFreshName);
    const minisign::Check genuine = checked.signature ? checked.signature->verifies(textHash) : checked.check;
    if (!genuine) {
        fresh.refused = text::because(kStatementRefused, genuine.detail);
        return fresh;
    }
    const std::int64_t at = checked.signature->timestamp();
    if (at > now + kFutureSlackSeconds) {
        fresh.refused =
            Cause(u"il rinnovo dell'indice è firmato più di un giorno nel futuro; l'indice non è prolungato"_s,
                  u"timestamp %1"_s.arg(at));
        return fresh;
    }
    // Renewals prolong up to a limit only the main key moves: a stolen
    // refresh key, with a server that keeps serving one index, cannot keep
    // a site on it for good.
    const std::int64_t until = std::min(at + span(index), indexSignedAt + kMostRenewals * span(index));
    if (until > *fresh.until) {
        fresh.until = until;
        fresh.refreshedAt = at;
    }
    return fresh;
}

}  // namespace adv
