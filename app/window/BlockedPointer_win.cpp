#include "app/window/BlockedPointer.h"

#include <windows.h>

namespace adv {
namespace {

bool hourglassShown = false;  // one window, on the GUI thread

}  // namespace

bool answerWithHourglass(void* message, qintptr* result)
{
    const MSG* msg = static_cast<const MSG*>(message);
    // HTERROR is where a window disabled by its question is asked; the frame
    // keeps its own pointers.
    const WORD area = LOWORD(msg->lParam);
    if (msg->message != WM_SETCURSOR || (area != HTCLIENT && area != static_cast<WORD>(HTERROR)))
        return false;
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    hourglassShown = true;
    *result = TRUE;
    return true;
}

void hourglassEnded()
{
    // Qt sets its own pointer again only when the pointer next crosses into
    // another control. Windows shows this one only if the pointer is over a
    // window of this thread.
    if (hourglassShown)
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    hourglassShown = false;
}

}  // namespace adv
