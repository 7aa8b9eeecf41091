// Who may change a file, as far as the updater must care.
#pragma once

#include <filesystem>

namespace adv::platform {

// True when someone other than the file's owner and the administrator may
// write `file`: a group or everyone has write permission, or the owner is
// neither the user running this program nor the administrator.
bool othersMayWrite(const std::filesystem::path& file);

// True when a group or everyone may read `file`.
bool othersMayRead(const std::filesystem::path& file);

}  // namespace adv::platform
