#include "app/site/Decide.h"

#include <algorithm>

#include "app/site/Stages.h"
#include "app/site/UpdateTexts.h"

namespace adv {
namespace {

bool holds(const std::vector<std::string>& hashes, const std::string& hash)
{
    return !hash.empty() && std::find(hashes.begin(), hashes.end(), hash) != hashes.end();
}

Verdict verdictOf(Act act, UpdateOutcome outcome = UpdateOutcome::Updated, const QString& line = {}, Cause cause = {})
{
    Verdict verdict;
    verdict.act = act;
    verdict.outcome = outcome;
    verdict.line = line;
    verdict.cause = std::move(cause);
    return verdict;
}

Verdict refuse(UpdateOutcome outcome, const QString& line, Cause cause = {})
{
    return verdictOf(Act::Refuse, outcome, line, std::move(cause));
}

Verdict settle(UpdateOutcome outcome, const QString& line, Cause cause = {})
{
    return verdictOf(Act::Settle, outcome, line, std::move(cause));
}

// --check's answer: a release this site does not have is offered.
Verdict available(const QString& line)
{
    return settle(UpdateOutcome::UpdateAvailable, line);
}

Verdict refuseOlder(Cause cause)
{
    return refuse(UpdateOutcome::OlderRelease, text::kOlderRelease, std::move(cause));
}

Verdict refuseFuture(std::int64_t signedAt, std::int64_t now, bool indexFile = false)
{
    return refuse(UpdateOutcome::FutureRelease, text::futureRelease(signedAt, now, indexFile),
                  text::futureReleaseCause(signedAt, now, indexFile));
}

// What the maker's index says this site does now; the maker's withdrawal is
// the one way past the floor, a pause and the plan.
Verdict followIndex(const Situation& s, const ReleaseIndex& index)
{
    const install::ReleaseRecord& record = s.record;
    const std::string offered = minisign::toHex(index.hash);
    if (s.keyed) {
        if (s.offer.indexSignedAt > s.now + kFutureSlackSeconds)
            return refuseFuture(s.offer.indexSignedAt, s.now, true);
        if (index.signedAt > s.now + kFutureSlackSeconds)
            return refuseFuture(index.signedAt, s.now);
        if (record.indexSeen && s.offer.indexSignedAt < *record.indexSeen)
            return refuseOlder(text::olderIndexCause(s.offer.indexSignedAt, *record.indexSeen));
        // --check says until when the index holds, and so reads the statement whatever the date.
        const bool alone = coveredAlone(index, s.offer.indexSignedAt, s.now) && s.mode != UpdateMode::Check;
        if (index.validDays && !alone && !s.offer.statementAsked)
            return verdictOf(Act::ReadStatement);
        // Past its time (and the clocks' slack), the index may be one a
        // server keeps replaying: nothing it says is followed.
        const Freshness fresh = offerFreshness(s);
        if (fresh.until && s.now > *fresh.until + kFutureSlackSeconds)
            return refuse(UpdateOutcome::IndexExpired, text::indexExpired(*fresh.until), fresh.refused);
    }
    std::vector<std::string> withdrawn;
    for (const minisign::Hash& hash : index.withdrawn)
        withdrawn.push_back(minisign::toHex(hash));
    // A signed index not older than any seen here is the maker's last word:
    // a release it no longer lists as withdrawn was reinstated on purpose.
    const auto isWithdrawn = [&](const std::string& hash) {
        return holds(withdrawn, hash) || (!s.keyed && holds(record.withdrawn, hash));
    };
    if (isWithdrawn(offered))
        return refuseOlder(text::kWithdrawnOfferedCause);
    const bool back = isWithdrawn(record.installed.hash);
    const bool check = s.mode == UpdateMode::Check;

    Verdict verdict = [&] {
        if (record.installed.hash == offered)
            return settle(UpdateOutcome::AlreadyCurrent, text::kAlreadyCurrent);
        if (!back && index.rollout.paused)
            return settle(UpdateOutcome::Paused, text::kPaused);
        if (!back && record.floor && index.signedAt < *record.floor)
            return settle(UpdateOutcome::OlderRelease, text::kOlderRelease,
                          text::olderReleaseCause(index.signedAt, *record.floor));
        if (!back && s.mode != UpdateMode::Operator) {
            const std::int64_t due = dueFrom(index, s.place ? s.place() : 0, s.group).value_or(0);
            if (s.now < due)
                return check ? available(text::notDue(due)) : settle(UpdateOutcome::NotDue, text::notDue(due));
        }
        if (check)
            return available(back ? text::withdrawnHere(index.signedAt) : text::kUpdateAvailable);
        if (back && record.previous.hash == offered) {
            Verdict restore = verdictOf(Act::Restore, UpdateOutcome::Restored, text::restored(index.signedAt));
            restore.release = text::shownRelease(index.signedAt, offered);
            return restore;
        }
        // Refused before anything is closed or fetched, whoever signed the size.
        if (index.size > s.maxDownloadBytes)
            return refuse(UpdateOutcome::DownloadFailed, text::kDownloadFailed,
                          text::tooLargeCause(index.size, s.maxDownloadBytes));
        if (back)
            return verdictOf(Act::TakeIndexed, UpdateOutcome::Restored, text::restored(index.signedAt));
        return verdictOf(Act::TakeIndexed);
    }();
    // Only what the maker signed is kept, and only by a run that may write.
    if (!check && s.keyed)
        verdict.note = IndexNote{s.offer.indexSignedAt, std::move(withdrawn)};
    verdict.keep = verdict.act == Act::Settle && !check;
    return verdict;
}

// Everything the signature alone can prove, judged before the program is
// downloaded.
Verdict judgeSignature(const Situation& s, const minisign::Signature& signature)
{
    const install::ReleaseRecord& record = s.record;
    const std::int64_t signedAt = signature.timestamp();
    if (signedAt > s.now + kFutureSlackSeconds)
        return refuseFuture(signedAt, s.now);
    const auto installedHash = minisign::hashFromHex(record.installed.hash);
    if (record.installed.signedAt == signedAt && installedHash && signature.verifies(*installedHash)) {
        // The installed release: nothing to download, whatever the floor says.
        Verdict current = settle(UpdateOutcome::AlreadyCurrent, text::kAlreadyCurrent);
        current.release = text::shownRelease(signedAt, record.installed.hash);
        return current;
    }
    if (record.floor && signedAt < *record.floor)
        return refuseOlder(text::olderReleaseCause(signedAt, *record.floor));
    if (s.mode == UpdateMode::Check)
        return available(text::offeredRelease(signedAt));
    return verdictOf(Act::Take);
}

}  // namespace

Verdict decide(const Situation& s)
{
    if (s.offer.index)
        return followIndex(s, *s.offer.index);
    // Once the maker's index was seen here, a server without it would skip
    // the plan, a pause or a withdrawal.
    if (s.keyed && s.record.indexSeen)
        return refuseOlder(text::kIndexGoneCause);
    if (s.offer.signature)
        return judgeSignature(s, *s.offer.signature);
    if (s.keyed)
        return verdictOf(Act::ReadSignature);
    if (!s.offer.programAsked)
        return verdictOf(Act::AskProgram);
    // The server's file as it was when the installed one came from it.
    // Kept, so that a file hashed to be known is not hashed again each night.
    if (s.offer.program && s.offer.program == s.programThen && !s.record.installed.hash.empty() &&
        s.record.installed.hash == s.programThenHash) {
        Verdict current = settle(UpdateOutcome::AlreadyCurrent, text::kAlreadyCurrent);
        current.keep = s.mode != UpdateMode::Check;
        return current;
    }
    return s.mode == UpdateMode::Check ? available(text::kOfferedUnsigned) : verdictOf(Act::Take);
}

Freshness offerFreshness(const Situation& s)
{
    if (!s.keyed || !s.offer.index)
        return {};
    return freshness(*s.offer.index, s.offer.indexSignedAt, s.offer.indexTextHash, s.offer.statement, s.now);
}

std::optional<std::int64_t> legacyFloor(const minisign::Signature& kept, std::int64_t now)
{
    if (kept.timestamp() > now + kFutureSlackSeconds)
        return std::nullopt;
    return kept.timestamp();
}

}  // namespace adv
