#include "app/core/Places.h"
#include "app/core/RunLog.h"

#include <QDir>
#include <QStandardPaths>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace adv {

// $XDG_CONFIG_HOME/AggiornaDV (~/.config/AggiornaDV), then each of
// $XDG_CONFIG_DIRS (/etc/xdg/AggiornaDV).
QStringList configFolders()
{
    return QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation);
}

QString privateConfigHint()
{
    return u"devono poterli scrivere solo il loro proprietario e root (chmod 600 o 644 il file, "
           u"755 la cartella)"_s;
}

QString ownerOnlyHint(const QString& file)
{
    return u"chmod 600 %1"_s.arg(file);
}

// The machine's log folder for root, the user's state folder for a user.
QString runlog::defaultPath()
{
    if (::geteuid() == 0)
        return u"/var/log/"_s + kLogInFolder;
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + u"/.local/state"_s;
    return state + u'/' + kLogInFolder;
}

}  // namespace adv
