#include "app/core/ConfigPlaces.h"

#include <QStandardPaths>

namespace adv {

// %APPDATA%\AggiornaDV, then %PROGRAMDATA%\AggiornaDV: the first two of Qt's
// application data folders. The rest, the program's own folder and below,
// is left out: whoever may drop a file beside the program must not decide
// what it installs.
QStringList configFolders()
{
    return QStandardPaths::standardLocations(QStandardPaths::AppDataLocation).mid(0, 2);
}

}  // namespace adv
