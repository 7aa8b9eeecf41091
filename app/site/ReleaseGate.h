// Which signed release an installation takes, judged on the signature alone
// before anything is downloaded, against the release record and this
// machine's clock. No I/O: the update command asks, and acts.
#pragma once

#include <cstdint>
#include <optional>

#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"
#include "install/FileReplacement.h"

namespace adv {

enum class ReleaseVerdict {
    Take,
    AlreadyCurrent,  // the installed release: nothing to download, whatever the floor says
    Older,           // below the highest release ever installed here
    Future,          // signed more than kFutureSlackSeconds after `now`
};

ReleaseVerdict judgeRelease(const minisign::Signature& offered, const install::ReleaseRecord& record, std::int64_t now);

// The floor that an earlier release of this updater kept in the signature
// beside the program, bound as the server's are: a date far ahead would
// refuse every later release.
std::optional<std::int64_t> legacyFloor(const minisign::Signature& kept, std::int64_t now);

}  // namespace adv
