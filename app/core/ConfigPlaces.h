// Where the configuration file is looked for when --config names none.
#pragma once

#include <QStringList>

namespace adv {

// The user's own folder first, then the machine's; one file per OS
// (ConfigPlaces_linux.cpp, ConfigPlaces_win.cpp).
QStringList configFolders();

// How to keep the configuration file and its folder out of others' hands,
// in this system's terms: the end of the message that refuses them.
QString privateConfigHint();

}  // namespace adv
