#include "app/core/ConfigPlaces.h"

#include <QStandardPaths>

namespace adv {

// $XDG_CONFIG_HOME/AggiornaDV (~/.config/AggiornaDV), then each of
// $XDG_CONFIG_DIRS (/etc/xdg/AggiornaDV).
QStringList configFolders()
{
    return QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation);
}

}  // namespace adv
