// How long the maker's index holds. A server, anyone in the path or a
// restored backup that keeps serving the last index a site saw would keep
// the site on that release for ever, unseen: an index that gives its days
// (ReleaseIndex::validDays) holds that long from its own signed time, and
// sites refuse it once that has passed (and the clocks' slack).
//
// The maker renews it weekly without the main key: the refresh key the
// index itself names signs the same index text, in a minisign signature
// beside it (kFreshName) whose trusted comment names that file; the index
// then holds that many days from the statement's time. A refresh can only
// prolong: the statement carries nothing but its time, over a text the main
// key signed. A stolen refresh key signs no index and no program, and
// prolongs an index no further than kMostRenewals times its days from the
// main key's signature: past that, only the main key renews it (any
// --rollout or --publish signs the index anew).
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"
#include "app/core/Failure.h"

namespace adv {

inline constexpr std::int64_t kMostRenewals = 13;

// Why a statement prolongs nothing: another key, or another index text.
inline const QString kStatementRefused =
    QStringLiteral("il rinnovo dell'indice (dolvo.exe.index.fresh) non è firmato con la chiave di rinnovo che "
                   "l'indice nomina, o non è di questo indice; l'indice non è prolungato");

struct Freshness {
    std::optional<std::int64_t> until;  // nothing: the index does not expire
    std::int64_t refreshedAt = 0;       // the statement's time, when it prolonged
    Cause refused;                      // a statement read and refused: why; it prolongs nothing
};

// For an index signed (by the main key) at `indexSignedAt` over a text of
// hash `textHash`, with the statement beside it as read (nothing: none
// read), by a clock at `now`.
Freshness freshness(const ReleaseIndex& index, std::int64_t indexSignedAt, const minisign::Hash& textHash,
                    const std::optional<std::string>& statement, std::int64_t now);

// Whether the index's own signature, without a statement, holds at `now`.
bool coveredAlone(const ReleaseIndex& index, std::int64_t indexSignedAt, std::int64_t now);

}  // namespace adv
