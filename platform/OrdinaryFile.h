// The file probe: does a product's file exist as an ordinary file?
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace adv::platform {

// Resolves `path`, written the Windows way and rooted at the drive
// ("\dolvo\dolvo.exe"), against `root` and returns the file's real path when it
// names an ordinary file: not a folder, and on Windows neither hidden nor system.
//
// Linux: `root` stands for the drive (for programs under Wine, the prefix's
// drive_c) and every component is looked up ignoring letter case, as Windows would.
// Windows: `root` is the drive ("c:"); empty means the current drive at the
// time of the call.
std::optional<std::filesystem::path> findOrdinaryFile(const std::filesystem::path& root, std::string_view path);

// What the probes resolve against when the configuration names no root:
// Linux "/", Windows the process's current drive, written "c:".
std::filesystem::path defaultRoot();

// Whether `text` names a whole drive ("d:"); never on Linux, where that is
// a folder's name like any other.
bool isDriveName(std::string_view text);

}  // namespace adv::platform
