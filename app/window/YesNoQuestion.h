// The Yes/No question the update command asks before it starts.
#pragma once

#include <QString>

class QWidget;

namespace adv {

// Shows a modal box with `prompt` as its text and `title` as its caption,
// no icon anywhere, the buttons "Sì" then "No" in that order on every
// desktop, No the default (Enter answers No, as does Esc or closing the
// box). Returns true only for "Sì".
bool askYesNoQuestion(QWidget* parent, const QString& prompt, const QString& title);

}  // namespace adv
