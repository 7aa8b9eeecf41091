#include "app/core/Places.h"
#include "app/core/RunLog.h"

#include <QDir>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace adv {

// %APPDATA%\AggiornaDV, then %PROGRAMDATA%\AggiornaDV: the first two of Qt's
// application data folders. The rest, the program's own folder and below,
// is left out: whoever may drop a file beside the program must not decide
// what it installs.
QStringList configFolders()
{
    return QStandardPaths::standardLocations(QStandardPaths::AppDataLocation).mid(0, 2);
}

// An elevated run takes them only from the administrators: a planted
// %PROGRAMDATA%\AggiornaDV\AggiornaDV.ini, in a folder its user made, is
// refused rather than read.
QString privateConfigHint()
{
    return u"devono poterli scrivere solo gli amministratori, SYSTEM e chi esegue il programma"_s;
}

QString ownerOnlyHint(const QString& file)
{
    return u"nelle proprietà di %1, scheda Sicurezza, lasciare l'accesso solo a chi esegue il programma, "
           u"agli amministratori e a SYSTEM"_s.arg(QDir::toNativeSeparators(file));
}

// The machine's data folder: every user's runs in one log, for the IT person.
QString runlog::defaultPath()
{
    return QDir::toNativeSeparators(qEnvironmentVariable("PROGRAMDATA", u"C:\\ProgramData"_s) + u'/' + kLogInFolder);
}

}  // namespace adv
