// Where the program's own files are on each system: the configuration, looked
// for when --config names none, and the log (RunLog.h's defaultPath).
#pragma once

#include <QStringList>

namespace adv {

// The program's own files: the configuration in one of configFolders(), the
// log below the folder of each OS.
inline const QString kConfigFileName = QStringLiteral("AggiornaDV.ini");
inline const QString kLogInFolder = QStringLiteral("AggiornaDV/AggiornaDV.log");

// The user's own folder first, then the machine's; one file per OS
// (Places_linux.cpp, Places_win.cpp).
QStringList configFolders();

// How to keep the configuration file and its folder out of others' hands,
// in this system's terms: the end of the message that refuses them.
QString privateConfigHint();

// How to make `file` its owner's alone, in this system's terms.
QString ownerOnlyHint(const QString& file);

}  // namespace adv
