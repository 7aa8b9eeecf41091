// Paths for the Windows per-OS files, at any length. The wide file calls
// take a path past MAX_PATH (260) only in the "\\?\" form, which Windows
// passes on as it stands, so it is only ever given to a full path.
#pragma once

#include "platform/Text_win.h"

#include <optional>
#include <string>

namespace adv::platform::win {

// `path`, made full, as the file calls take it at any length:
// "\\?\C:\..." or "\\?\UNC\server\share\..."; already in that form, it
// stays as it is.
std::wstring longPath(const std::wstring& path);

// Where the open `handle` really is, every link and junction followed, as
// the operator writes it ("C:\...", "\\server\share\..."); nothing when
// that cannot be told.
std::optional<std::wstring> finalPath(HANDLE handle);

}  // namespace adv::platform::win
