// What a process that shows the window sets up once, before the window.
#pragma once

namespace adv {

// Loads Qt's own Italian texts (qtbase_it) whatever the environment's
// language is, since every text of the window is Italian. The translator
// stays installed for the life of the application. False when the file is
// missing. Needs the QApplication.
bool installItalianQtTranslations();

// Maps the faces the window asks for to installed look-alikes, for systems
// that lack them. Safe to call more than once.
void installFontSubstitutes();

// Both of the above.
void prepareWindowProcess();

}  // namespace adv
