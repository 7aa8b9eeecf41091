// The files of /proc that the process walk, the Wine asker and the search
// for a running file read: each opened and read one way.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace adv::platform {

// "/proc/<pid>/<leaf>".
std::string procPath(long pid, std::string_view leaf);

enum class Reads { Once, UntilEnd };

// Reads the file `path` names, relative to the folder `at` (AT_FDCWD, or a
// descriptor of /proc), into `buf`, at most `cap` bytes. Returns the number
// of bytes read; -1 when the file could not be opened (the process has gone,
// most likely), errno saying why. A file the kernel produces in one piece,
// such as comm, needs only one read: on the walk's fast path the second read
// that would merely find the end costs a third of the time.
long readProcFile(int at, const char* path, char* buf, std::size_t cap, Reads reads);

// At most `limit` bytes of /proc/<pid>/<leaf>; nothing when it cannot be
// opened, errno saying why.
std::optional<std::string> readProc(long pid, std::string_view leaf, std::size_t limit);

}  // namespace adv::platform
