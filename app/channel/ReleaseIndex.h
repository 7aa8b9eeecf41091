// The maker's signed index of releases: which release file sites take, its
// size and hash, when it was signed, the plan by which sites take it, and the
// releases withdrawn. --publish writes it, beside the program, last of all;
// its signature beside it is the maker's, as the program's is.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/channel/Minisign.h"
#include "app/core/Failure.h"

namespace adv {

// When sites take the current release: each stage lets a share of the sites
// (percent) take it once its delay after the signed time has passed. Paused,
// no site takes it; the sites that have it keep it.
struct Rollout {
    struct Stage {
        int percent = 100;
        std::chrono::hours delay{0};
        bool operator==(const Stage&) const = default;
    };
    std::vector<Stage> stages{Stage{}};
    bool paused = false;

    // "10@0h,50@24h,100@72h", "100" (the default) or "pausa"; nothing when
    // it is none of these: shares and delays rising, the last share 100.
    static std::optional<Rollout> parse(std::string_view text);
    // What is wrong with a plan `parse` refuses, for the maker (Italian).
    static QString problem(std::string_view text);
    std::string text() const;
    bool operator==(const Rollout&) const = default;

    // Every delay longer by `hours`: a plan counted from a later start, as
    // sites count it from the release's signed time.
    Rollout shifted(std::int64_t hours) const;
    // The share open at `at` when the stages count from `from`; 0: none yet.
    int reachedAt(std::int64_t from, std::int64_t at) const;
    // Going on from a share already reached: that share at once, the stages
    // above it after their delay less the delay of the stage reached.
    Rollout resumedFrom(int reached) const;
    // Everyone may take it at `at`, the stages counting from `from`.
    bool everyoneAt(std::int64_t from, std::int64_t at) const;
};

// Sites read a stage's delay up to this many hours.
inline constexpr int kMaxDelayHours = 24 * 366;

// A signing machine's clock may be off by a time zone or two, not by more:
// a release or an index signed later than this after a clock's now is
// refused, by sites and by the maker alike.
inline constexpr std::int64_t kFutureSlackSeconds = 24 * 60 * 60;

struct ReleaseIndex {
    static constexpr int kFormat = 1;
    std::string release;  // the release file, relative to the remote folder ("releases/...")
    std::int64_t size = 0;
    minisign::Hash hash{};
    std::int64_t signedAt = 0;  // the release's signed time, seconds since 1970
    Rollout rollout;            // as sites follow it: counted from signedAt
    std::vector<minisign::Hash> withdrawn;

    // The maker's notes, signed with the rest but written as comments
    // ("#: key = value"), which older sites skip: a reader takes the notes
    // it knows and leaves the others.
    std::optional<minisign::Hash> replaces;  // the release this one replaced: where a withdrawal goes back
    std::int64_t from = 0;                   // when the plan's stages began (0: at signedAt)
    std::optional<Rollout> keptPlan;         // while paused: the plan as the maker gave it,
    int reached = 0;                         // and the share it had reached
    // How long the index holds, in days from its own signed time or from a
    // refresh statement's (Freshness.h); 0: for ever. The key that may sign
    // those statements: only the main key's signature on these notes makes
    // it one.
    int validDays = 0;
    std::optional<minisign::PublicKey> refreshKey;

    std::int64_t planStart() const { return from ? from : signedAt; }
    bool isWithdrawn(const minisign::Hash& one) const;

    // The index as it is stored; read back, it is this index again.
    std::string text() const;
    std::string notesText() const;
    bool operator==(const ReleaseIndex&) const = default;
};

// An index as read: the index, or what is wrong with it (Italian).
struct ReadIndex {
    std::optional<ReleaseIndex> index;
    Cause cause;
};

// Strictly, as the configuration is read: an index of a later format, or
// with a key or value this program does not know, is refused whole.
//
// An index whose signature verified (`verified`) may grow: a key this
// reader does not know is skipped, and a format "1.N" is read as 1. Only a
// later major format ("2", "2.1") or a key marked required, written
// "!name = value", that this reader does not know refuses it: a later
// publisher marks so what a site must not ignore. A marked key this reader
// knows is read as the key itself. Unverified, the index stays strict: no
// stranger may slip a key past it.
//
// What the publisher writes stays in the first form, "format = 1" and the
// seven keys alone, with everything newer as notes, so that sites of
// earlier releases read it too.
ReadIndex readReleaseIndex(std::string_view text, bool verified = false);

// An index file as stored: the minisign signature of the index text (four
// lines), then the text, so that both change in one rename.
std::string sealedIndex(const std::string& signature, const std::string& text);
// The two parts of a stored index; nothing when it is not in that form.
std::optional<std::pair<std::string, std::string>> openedIndex(std::string_view stored);

// A stored index read, with its signature checked when there is a key.
struct StoredIndex {
    bool authentic = false;     // signed with the key (without a key: never)
    std::int64_t signedAt = 0;  // when the index itself was signed (with a key)
    minisign::Hash textHash{};  // of the index text, which a refresh statement signs too
    std::optional<ReleaseIndex> index;
    Cause cause;  // when it is not authentic or does not read
};
StoredIndex readStoredIndex(std::string_view stored, const std::optional<minisign::PublicKey>& key);

}  // namespace adv
