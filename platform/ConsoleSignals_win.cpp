#include "platform/ConsoleSignals.h"

#include <windows.h>

#include <atomic>

namespace adv::platform {
namespace {

std::atomic<bool> interrupted{false};

// Runs on a thread of its own that Windows starts for the event. Returning
// TRUE keeps the process alive for Ctrl+C and Ctrl+Break; for the console
// closing, Windows ends it anyway after a few seconds, which the update's
// next poll well beats.
BOOL WINAPI onConsoleEvent(DWORD)
{
    interrupted = true;
    return TRUE;
}

}  // namespace

void installConsoleSignalHandlers()
{
    SetConsoleCtrlHandler(&onConsoleEvent, TRUE);
}

bool interruptRequested()
{
    return interrupted;
}

}  // namespace adv::platform
