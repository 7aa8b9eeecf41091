// Windows programs under Wine, as the Linux process table meets them. They
// carry the products' names like any program, but a Windows program is asked
// to close through its windows, never with a signal.
#pragma once

#include "platform/ProcessTable.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace adv::platform::wine {

// Whether the process `pid` is a Windows program run by Wine.
bool hosts(long pid);

// Starts asking the Wine program `pid` to close as a window manager's close
// box does: the X close request (WM_DELETE_WINDOW) to each of its top-level
// windows on the display it was started on, which Wine turns into WM_CLOSE.
// The display is the program's, and may answer late or never: the asking runs
// in a child process with the rights of the program's owner, and this returns
// Pending with `pending` filled in. Where there is nothing to ask it answers
// at once: CannotBeAsked (no display), NotAllowed (its environment may not be
// read), Gone.
CloseRequest startAsking(long pid, PendingClose& pending);

// The answer, once the asker has given it (Sent: some window has the request;
// CannotBeAsked: no window, or the display failed; NotAllowed) or ended
// without one (CannotBeAsked); Pending before. An answered asker is reaped.
CloseRequest answerOf(PendingClose& pending);

// Kills an asker still under way and reaps it.
void stopAsking(PendingClose& pending);

// The root windows listed by an X connection setup (as the server sent it,
// in this machine's byte order), or nothing when the setup is not a
// successful one or does not hold what it claims.
std::optional<std::vector<std::uint32_t>> rootWindows(std::span<const std::uint8_t> setup);

}  // namespace adv::platform::wine
