// The close request a Wine program's windows get over X (WM_DELETE_WINDOW),
// sent from the asker, which already holds the program owner's rights.
#pragma once

#include <sys/types.h>

#include <string>

namespace adv::platform::wine {

// The program's display, as its owner reaches it.
struct XTarget {
    std::string display;
    std::string xauthority;  // the program's; else its HOME's .Xauthority
    uid_t uid = 0;
    long windowPid = 0;  // the pid its windows announce: its own in its innermost PID namespace
};

// Sends the close request to every window of `target`'s display marked with
// its pid, with the owner's cookie when its authority file gives one;
// returns how many windows were asked.
int sendCloseRequests(const XTarget& target);

}  // namespace adv::platform::wine
