// The pointer over the window while a question of its own blocks it. X11
// shows the window's own pointer over it all the same; Windows asks the
// blocked window with WM_SETCURSOR and, left unanswered, shows the arrow.
// One implementation per OS (BlockedPointer_linux.cpp, BlockedPointer_win.cpp).
#pragma once

#include <QtGlobal>

namespace adv {

// While the window's pointer is the hourglass: answers the native `message`
// (the window's, as QWidget::nativeEvent gets it) when it asks for the
// pointer over the window. True when it was answered.
bool answerWithHourglass(void* message, qintptr* result);

// The window's pointer is the arrow again: shown at once, not at the next move.
void hourglassEnded();

}  // namespace adv
