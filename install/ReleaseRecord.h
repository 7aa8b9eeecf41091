// The release record's file, as the install transaction writes it beside
// the program (dolvo.exe.release): a header, the floor, and the installed and
// previous releases, each with the identity of the file it was written for.
//
//   AggiornaDV release record 2
//   floor <seconds since 1970 | ->
//   installed <signed at | -> <BLAKE2b-512 hex | -> <file id> <size> <changed>
//   previous  (the same)
//   index <the newest maker's index seen here: signed at | ->
//   withdrawn <BLAKE2b-512 hex,... | ->
//
// A record of form 1 (the first four lines) is read as one without an index
// seen and nothing withdrawn. Anything else, or more than kMaxRecordBytes,
// is not a record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/FileReplacement.h"

namespace adv::install {

inline constexpr std::string_view kRecordHeader = "AggiornaDV release record 2";
inline constexpr std::string_view kFirstRecordHeader = "AggiornaDV release record 1";
inline constexpr std::size_t kMaxWithdrawn = 200;  // the newest ones are kept
inline constexpr std::size_t kMaxRecordBytes = 1024 + kMaxWithdrawn * 129;

// A release and the file it was recorded for.
struct Recorded {
    Release release;
    platform::Entry file;

    // Nothing is recorded for a file that is not there.
    static Recorded of(Release release, const platform::Entry& file);
    // Whether `now` is still the file the release was recorded for.
    bool describes(const platform::Entry& now) const;
};

// A record as it stands in a file.
struct Stored {
    std::optional<std::int64_t> floor;
    Recorded installed, previous;
    std::optional<std::int64_t> indexSeen;
    std::vector<std::string> withdrawn;

    static std::optional<Stored> parse(std::string_view text);
    std::string text() const;
};

}  // namespace adv::install
