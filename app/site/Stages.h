// A site's part in the maker's staged release: its place among all sites
// for one release, and from when it takes that release.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/Config.h"
#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"

namespace adv {

// 0 to 99, from BLAKE2b(siteId || release): the same site and release
// always give the same place, and another release shuffles the sites anew,
// so that the same sites are not always first.
int sitePlace(std::string_view siteId, const minisign::Hash& release);

// From when (seconds since 1970) this site takes `index`'s current release:
// the signed time plus the delay of the first stage whose percentage is
// above `place`; a pilot site at the first stage, a last one at the last.
// Nothing while the plan is paused.
std::optional<std::int64_t> dueFrom(const ReleaseIndex& index, int place, SiteGroup group);

// The site's id: the configuration's `site_id`, else the one kept in
// `keptFile`, drawn at random and kept there the first time. With why not
// when it could not be read or kept: then the id is one drawn for this run.
struct SiteId {
    std::string id;
    Cause cause;
};
SiteId siteId(const Config& config, const QString& keptFile);

// Where the drawn id is kept: beside the log file (the configured one, else
// each system's place).
QString siteIdFile(const Config& config);

// This site's place for the index's release: its id found (drawn and kept
// the first time), what went wrong on the way only logged.
int placeFor(const Config& config, const ReleaseIndex& index);

}  // namespace adv
