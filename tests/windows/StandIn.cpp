// A stand-in for one of the products' programs, for the Windows tests. The
// tests copy it under a unique name and start it as a real process.
//
//   stand_in.exe MODE READY_EVENT MARKER_FILE
//
// MODE      visible     a shown top-level window that ends on WM_CLOSE
//           hidden      the same window, never shown
//           ignore      a shown window that stays open on WM_CLOSE
//           asks        a shown window asking "Salvare le modifiche?" on WM_CLOSE; ends on Yes or No
//           windowless  no window at all
//           probe-self  no window; looks for processes named as itself and
//                       writes "<found> <itself among them: 0|1>" into MARKER_FILE
// READY_EVENT  a named event, set once the program can be asked to close; or
//              file:PATH, a file written then (for tests outside Wine); or -.
// MARKER_FILE  written each time WM_CLOSE arrives (or the probe's answer).
//
// Whatever happens it ends by itself after a minute, with exit code 77, so a
// broken test leaves nothing running for long.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "platform/ProcessTable.h"

#include <string>
#include <string_view>

namespace {

constexpr UINT kLifetimeMs = 60'000;
constexpr int kOutlived = 77;
constexpr UINT_PTR kLifetimeTimer = 1;

const wchar_t* markerPath = nullptr;
bool endsOnClose = true;
bool asksToSave = false;

void writeMarker(std::string_view text = "WM_CLOSE\r\n", const wchar_t* path = markerPath)
{
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// What the process table makes of this program's own name.
void probeSelf()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const std::wstring image = path.substr(path.find_last_of(L"\\/") + 1);
    const int units = static_cast<int>(image.size());
    std::string name(static_cast<std::size_t>(units) * 3, '\0');
    name.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, image.data(), units, name.data(),
                                                             static_cast<int>(name.size()), nullptr, nullptr)));

    const std::string_view names[] = {name};
    const auto found = adv::platform::openProcessesNamed(names).processes;
    bool itself = false;
    for (const auto& process : found)
        itself = itself || process.pid() == static_cast<long>(GetCurrentProcessId());
    writeMarker(std::to_string(found.size()) + " " + (itself ? "1" : "0"));
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        writeMarker();
        if (asksToSave)
            endsOnClose = MessageBoxW(window, L"Salvare le modifiche?", L"stand-in", MB_YESNOCANCEL) != IDCANCEL;
        if (endsOnClose)
            DestroyWindow(window);
        return 0;
    case WM_TIMER:
        if (wParam == kLifetimeTimer) {
            PostQuitMessage(kOutlived);
            return 0;
        }
        break;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return 2;
    const std::wstring_view mode = argv[1];
    markerPath = argv[3];
    const std::wstring_view readyName = argv[2];
    const bool readyFile = readyName.starts_with(L"file:");
    const bool awaited = readyName != L"-" && !readyFile;
    const HANDLE readyEvent = awaited ? OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]) : nullptr;
    if (awaited && readyEvent == nullptr)
        return 3;
    const auto ready = [&] {
        if (readyFile)
            writeMarker("ready", argv[2] + 5);
        if (readyEvent != nullptr) {
            SetEvent(readyEvent);
            CloseHandle(readyEvent);
        }
    };

    if (mode == L"windowless" || mode == L"probe-self") {
        if (mode == L"probe-self")
            probeSelf();
        ready();
        Sleep(kLifetimeMs);
        return kOutlived;
    }
    if (mode != L"visible" && mode != L"hidden" && mode != L"ignore" && mode != L"asks")
        return 2;
    asksToSave = mode == L"asks";
    endsOnClose = mode != L"ignore" && !asksToSave;

    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"AdvStandIn";
    if (RegisterClassW(&windowClass) == 0)
        return 4;
    const HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"stand-in", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                        CW_USEDEFAULT, 320, 200, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return 5;
    if (mode != L"hidden")
        ShowWindow(window, SW_SHOWNOACTIVATE);
    SetTimer(window, kLifetimeTimer, kLifetimeMs, nullptr);
    ready();

    MSG message{};
    BOOL got = FALSE;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return got == 0 ? static_cast<int>(message.wParam) : 6;
}
