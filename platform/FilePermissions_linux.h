// The rule of FilePermissions.h on a file already looked at or opened, so
// that what is judged is what gets written.
#pragma once

#include <sys/stat.h>

#include <string>

namespace adv::platform {

bool othersMayWrite(const struct stat& st, std::string* who = nullptr);

}  // namespace adv::platform
