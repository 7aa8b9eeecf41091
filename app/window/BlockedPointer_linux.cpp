#include "app/window/BlockedPointer.h"

namespace adv {

// X11 shows the window's own pointer, blocked or not.
bool answerWithHourglass(void*, qintptr*)
{
    return false;
}

void hourglassEnded()
{
}

}  // namespace adv
