// The Yes/No question the update command asks before it starts.
#pragma once

#include <QString>

class QWidget;

namespace adv::platform {

// Shows a modal box with `prompt` as its text and `title` as its caption,
// no icon, the buttons "Sì" and "No" with No the default (Enter answers No,
// as does Esc or closing the box). Returns true only for "Sì".
bool askYesNo(QWidget* parent, const QString& prompt, const QString& title);

}  // namespace adv::platform
