// Who may change a file, as far as the updater must care.
#pragma once

#include <filesystem>
#include <string>

namespace adv::platform {

// True when someone other than the user running this program and the
// administrator may write `file` (or, for a folder, replace what it holds):
// the owner is someone else, or others are allowed to write it. Run as the
// administrator on Windows (elevated), anyone but the administrators, the
// system and this user counts; otherwise only all users together do, as
// group and others do on Linux. `who`, when given, gets the first such
// writer as the system names it (UTF-8).
bool othersMayWrite(const std::filesystem::path& file, std::string* who = nullptr);

// Whether this program runs as the administrator: root, or elevated on Windows.
bool runsAsAdministrator();

// True when a group or everyone may read `file`.
bool othersMayRead(const std::filesystem::path& file);

// Creates `folder` and the parents it lacks. Run as the administrator
// (root; an elevated Windows run), the folders it creates are written
// by administrators only and read by everyone. False when it cannot.
bool makeFolders(const std::filesystem::path& folder);

}  // namespace adv::platform
