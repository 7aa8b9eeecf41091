// The program's own small files beside its log (the site's id, the state
// of its reports): read and written as the program writes its own files.
// The folder may be reachable by other users, so nothing here follows a
// link, waits on a FIFO or reads more than the caller allows.
#pragma once

#include <QString>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace adv {

struct KeptText {
    std::optional<std::string> text;  // none: there is no such file yet
    QString problem;                  // why it cannot be read or kept, in Italian; empty: none
};

// `file`'s bytes, at most `maxBytes` (more is a problem); its folder made
// when missing. A folder or a file other users may write is a problem:
// what it holds would be theirs to choose.
KeptText readKept(const QString& file, std::size_t maxBytes);

// `bytes` made `file`, whole or not at all (written aside, then renamed
// onto it), readable by all, writable by the owner alone; why not, if not.
QString writeKept(const QString& file, std::string_view bytes);

}  // namespace adv
