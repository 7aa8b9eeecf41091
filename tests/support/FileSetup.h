// Test fixture: what a test sets up for a file that a Windows program under
// Wine cannot: its Unix permission bits, from which Wine makes the file's
// access list (others' read bit: Everyone may read), and symbolic links
// (Wine's CreateSymbolicLinkW does nothing), which Windows programs under
// Wine see through as Windows' own links. There the tests' Linux side
// (linux_side.py) does it for them.
#pragma once

#include <QString>

#include <optional>
#include <string>

namespace adv::test {

// The name a Linux program gives `path`: the same on Linux; under Wine,
// where the Windows name leads.
std::string linuxPath(const QString& path);

bool setMode(const QString& path, int mode);
// A symbolic link at `link` to `target` (which need not exist).
bool makeSymlink(const QString& target, const QString& link);
std::optional<int> modeOf(const QString& path);

// Whether replacing a file is expected to keep the installed file's mode.
// On Windows the new file takes the folder's inherited access list instead,
// and under Wine its mode from the umask.
extern const bool kReplacementKeepsMode;

// Whether a file name may hold "?" and "*": not on Windows.
extern const bool kNamesMayHoldWildcards;

// Whether the group's bits give anyone access: on Linux. Wine's access list
// shows the owner's bits and others' (as Everyone), not the group's.
extern const bool kGroupBitsCount;

// Whether a sticky folder keeps others from replacing a file: not under Wine.
extern const bool kStickyFoldersCount;

}  // namespace adv::test
