// The file probe: does a product's file exist as an ordinary file?
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The probe's steps that differ per system (OrdinaryFile_linux.cpp,
// OrdinaryFile_win.cpp); the probe itself (OrdinaryFile.cpp) is written once.
namespace probe {
// Where `parts` lead below `root`, named as this system names them (Linux
// looks each part up ignoring letter case); none when a part is missing.
std::optional<std::filesystem::path> locate(const std::filesystem::path& root, const std::vector<std::string>& parts);
// The root itself, as `locate` would name it.
std::filesystem::path rootOf(const std::filesystem::path& root);
// An ordinary file: not a folder (nor, on Windows, hidden or system).
bool isOrdinary(const std::filesystem::path& path);
// Where `path` really is, every link followed.
std::optional<std::filesystem::path> realPath(const std::filesystem::path& path);
// Whether `path` lies strictly below `folder`, as this system compares names.
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder);
}  // namespace probe

}  // namespace adv::platform
