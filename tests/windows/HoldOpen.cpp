// Holds a file open without sharing it, as a slow-to-exit program or a virus
// scanner would, for the Windows tests.
//
//   hold_open.exe FILE MILLISECONDS READY_FILE
//
// READY_FILE is written once FILE is held. Exits 0 after the time, 2 when
// FILE cannot be opened.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return 64;
    const HANDLE held = CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 2;
    const HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE)
        CloseHandle(ready);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    CloseHandle(held);
    return 0;
}
