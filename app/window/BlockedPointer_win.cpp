#include "app/window/BlockedPointer.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace adv {

bool answerWithHourglass(void* message, qintptr* result)
{
    const MSG* msg = static_cast<const MSG*>(message);
    // HTERROR is where a window disabled by its question is asked; the frame
    // keeps its own pointers.
    const WORD area = LOWORD(msg->lParam);
    if (msg->message != WM_SETCURSOR || (area != HTCLIENT && area != static_cast<WORD>(HTERROR)))
        return false;
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    *result = TRUE;
    return true;
}

}  // namespace adv
