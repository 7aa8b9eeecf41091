// What the maker's machine remembers of each server it publishes to: the
// last index it signed for that server and folder, kept beside the key. A
// server that later serves an older index, or none, would have the maker
// sign away the withdrawals made since; so a record that is there but cannot
// be trusted stops the publish as such a server does, never counts as none.
#pragma once

#include <QString>

#include <cstdint>
#include <string_view>

#include "app/core/Config.h"
#include "app/core/Failure.h"

namespace adv {

struct IndexMemory {
    std::int64_t signedAt = 0;  // the last index signed here for this server; 0: none
    QString path;               // the record it was read from, or the one to write
    Refusal refused;            // unreadable, not the maker's, or newer than the server's
};

// The configuration's server and folder, judged against `served`, the
// signed time of the index the server offers (0: none). The single file of
// earlier releases (<signing_key>.last-index) still speaks for a server
// without a record of its own, and refuses only a server older than it.
IndexMemory recallIndex(const Config& config, std::int64_t served);

// The configuration's server and folder as a file name of its own, for a
// record of the maker's machine about that server ("ftp.example.it,21,%2Fdownload").
QString serverFileName(const Config& config);

// Where the records live, one file per server and folder.
QString indexMemoryFolder(const Config& config);

// The index just published, as the record of the configuration's server
// and folder: whole or not at all, readable by this user only.
bool rememberIndex(const Config& config, std::string_view sealed);

}  // namespace adv
