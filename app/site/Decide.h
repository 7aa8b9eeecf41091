// What a site does with what the server offers, decided before anything is
// downloaded or written: from the offer as read and verified, the release
// record, this machine's clock and the site's place in the maker's plan.
// No I/O: the update command fetches, asks, and acts on the verdict.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/channel/Freshness.h"
#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"
#include "app/core/Config.h"
#include "app/core/Failure.h"
#include "app/site/ServerMemo.h"
#include "app/site/UpdateReport.h"
#include "install/FileReplacement.h"

namespace adv {

// Who asks. The operator, at the window's DOWNLOAD: asked first, and
// takes the release the maker offers before this site's stage comes (never
// a paused or withdrawn one). A nightly --update: no question, and the
// release only once this site's stage has come. --check: says where this
// site stands and what it would do, and closes, locks and writes nothing
// (but the log, and the site's id the first time).
enum class UpdateMode { Operator, Nightly, Check };

// What the server offers, as far as it has been read; only what verified
// against the key, when there is one.
struct Offer {
    // The maker's index; `indexSignedAt`, when the index itself was signed,
    // is known only with a key.
    std::optional<ReleaseIndex> index;
    std::int64_t indexSignedAt = 0;
    // Without an index, the signature beside dolvo.exe; read only once the
    // verdict asks for it. Neither: nothing read but the index's absence.
    std::optional<minisign::Signature> signature;
    // Neither index nor key: the size and time the server gives for
    // dolvo.exe, asked before it is downloaded; none when it gives none.
    std::optional<ServerFacts> program{};
    bool programAsked = false;
    // With a key: the hash of the index text, and the refresh statement
    // beside it (Freshness.h), read only once the verdict asks for it;
    // none when the server has none.
    minisign::Hash indexTextHash{};
    std::optional<std::string> statement{};
    bool statementAsked = false;
};

struct Situation {
    Offer offer;
    install::ReleaseRecord record;
    std::int64_t now = 0;
    // This site's place for the index's release (Stages.h), and its group.
    // The place is asked for only when the plan decides (not by the
    // operator, nor when something else settles the run first): the first
    // time, finding it draws the site's id and keeps it in a file.
    std::function<int()> place;
    SiteGroup group = SiteGroup::Normal;
    UpdateMode mode = UpdateMode::Operator;
    bool keyed = false;  // a public key is configured
    // The most a download may bring (max_download_mb), whatever the index says.
    std::int64_t maxDownloadBytes = INT64_MAX;
    // Without index or key: what the server gave for dolvo.exe when the
    // installed file came from it, and that file's hash.
    std::optional<ServerFacts> programThen{};
    std::string programThenHash{};
};

enum class Act {
    Refuse,         // ends, nothing downloaded; the session as a failure leaves it
    Settle,         // nothing to install: the session closed, the command ends
    ReadSignature,  // no index: the signature beside dolvo.exe is read, and the site decides again
    AskProgram,     // neither index nor key: the server is asked about dolvo.exe, and the site decides again
    ReadStatement,  // the index's own signature no longer covers now: its refresh statement is read, and again
    Take,           // dolvo.exe, and with a key checked against its signature
    TakeIndexed,    // the index's release, from its own file
    Restore,        // the release the maker went back to is the one kept as dolvo.exe.prev
};

// What the maker's signed index told this site, kept before anything else
// is done, so that no later run goes back on it.
struct IndexNote {
    std::int64_t signedAt = 0;
    std::vector<std::string> withdrawn;  // hashes, hex
    bool operator==(const IndexNote&) const = default;
};

struct Verdict {
    Act act = Act::Take;
    // How the command ends; for a download, how it ends once the program
    // changed (Restored where a withdrawal sends the site back).
    UpdateOutcome outcome = UpdateOutcome::Updated;
    QString line;  // the last status line; empty for a download: the usual words
    Cause cause;
    QString release;  // the release kept, shown, where nothing is downloaded
    std::optional<IndexNote> note;
    bool keep = false;  // Settle: the record written all the same, with what was noted
};

Verdict decide(const Situation& situation);

// Until when the offer's index holds, with a key; nothing when it gives no
// bound (or there is no key to trust it by).
Freshness offerFreshness(const Situation& situation);

// The floor that an earlier release of this updater kept in the signature
// beside the program, bound as the server's are: a date far ahead would
// refuse every later release.
std::optional<std::int64_t> legacyFloor(const minisign::Signature& kept, std::int64_t now);

}  // namespace adv
