// Where the configuration file is looked for when --config names none.
#pragma once

#include <QStringList>

namespace adv {

// The user's own folder first, then the machine's; one file per OS
// (ConfigPlaces_linux.cpp, ConfigPlaces_win.cpp).
QStringList configFolders();

}  // namespace adv
