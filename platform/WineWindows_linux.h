// Windows programs under Wine, as the Linux process table meets them. They
// carry the products' names like any program, but a Windows program is asked
// to close through its windows, never with a signal.
#pragma once

#include "platform/ProcessTable.h"

namespace adv::platform::wine {

// Whether the process `pid` is a Windows program run by Wine.
bool hosts(long pid);

// Asks the Wine program `pid` to close as a window manager's close box does:
// the X close request (WM_DELETE_WINDOW) to each of its top-level windows on
// the display it was started on, which Wine turns into WM_CLOSE. A program
// with no window there cannot be asked.
CloseRequest askToClose(long pid);

}  // namespace adv::platform::wine
