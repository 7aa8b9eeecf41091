#include "platform/ConsoleSignals.h"

#include "platform/Text_win.h"

#include <io.h>

#include <atomic>
#include <optional>
#include <string>

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
    // A windowed program has no console of its own. Started on one (by
    // AggiornaDV.com, or by name from cmd), it joins it, so that Ctrl+C and
    // the console's closing reach it.
    if (GetConsoleWindow() == nullptr)
        AttachConsole(ATTACH_PARENT_PROCESS);
    SetConsoleCtrlHandler(&onConsoleEvent, TRUE);
}

bool interruptRequested()
{
    return interrupted;
}

void writeLine(std::FILE* to, std::string_view utf8)
{
    std::fflush(to);
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(to)));
    DWORD mode = 0;
    const std::optional<std::wstring> text = win::toUtf16(utf8);
    if (text && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        const std::wstring line = *text + L"\r\n";
        DWORD written = 0;
        WriteConsoleW(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    std::fwrite(utf8.data(), 1, utf8.size(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

}  // namespace adv::platform
