// AggiornaDV.com, the program as a console and its scripts see it. For the
// bare name "AggiornaDV", cmd runs this twin (.com comes before .exe), waits
// for it, shows its lines before the prompt returns and sets %ERRORLEVEL%
// to its status. The work is done by AggiornaDV.exe beside it, started with
// the same command line on this console; that one stays a windowed program,
// so a double click opens the window and no console.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cwchar>
#include <string>

#include "app/core/ExitStatus.h"

namespace {

// Ctrl+C and Ctrl+Break are the program's to answer (it stops cleanly at its
// next wait on the server); the twin waits for that.
BOOL WINAPI waitForTheProgram(DWORD)
{
    return TRUE;
}

}  // namespace

int wmain()
{
    std::wstring program(32768, L'\0');
    program.resize(GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size())));
    program.replace(program.size() - 4, 4, L".exe");

    SetConsoleCtrlHandler(&waitForTheProgram, TRUE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    std::wstring commandLine = GetCommandLineW();
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &started)) {
        std::fwprintf(stderr, L"AggiornaDV: impossibile avviare %ls (errore %lu)\n", program.c_str(), GetLastError());
        return adv::code(adv::ExitStatus::NotStarted);  // nothing was done
    }
    CloseHandle(started.hThread);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD status = adv::code(adv::ExitStatus::NotStarted);
    GetExitCodeProcess(started.hProcess, &status);
    CloseHandle(started.hProcess);
    return static_cast<int>(status);
}
