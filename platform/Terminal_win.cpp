#include "platform/Terminal.h"

#include <io.h>

#include "platform/Text_win.h"

namespace adv::platform {

std::optional<std::string> readSecret(std::string_view prompt)
{
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    DWORD before = 0;
    const bool console = in != INVALID_HANDLE_VALUE && GetConsoleMode(in, &before);
    const std::wstring shown = win::toUtf16(prompt).value_or(L"Password: ");
    DWORD written = 0;
    std::optional<std::string> secret;
    if (console) {
        SetConsoleMode(in, (before & ~DWORD{ENABLE_ECHO_INPUT}) | ENABLE_LINE_INPUT);
        HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
        WriteConsoleW(out, shown.data(), DWORD(shown.size()), &written, nullptr);
        // The whole line is read, even past the limit: what stayed in the
        // console would go to the shell, echoed, once this program ends.
        std::wstring wide;
        wide.reserve(kMaxSecretBytes + 1);
        wchar_t unit = 0;
        DWORD got = 0;
        bool tooLong = false;
        while (ReadConsoleW(in, &unit, 1, &got, nullptr) && got == 1 && unit != L'\n') {
            tooLong = tooLong || (unit != L'\r' && wide.size() == kMaxSecretBytes);
            if (!tooLong && unit != L'\r')
                wide += unit;
        }
        if (!tooLong)
            secret = win::toUtf8(wide);
        SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
        SetConsoleMode(in, before);
        WriteConsoleW(out, L"\r\n", 2, &written, nullptr);
    } else {
        HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
        WriteFile(err, prompt.data(), DWORD(prompt.size()), &written, nullptr);
        HANDLE stdinHandle = GetStdHandle(STD_INPUT_HANDLE);
        secret = readSecretLine([stdinHandle]() -> std::optional<char> {
            char c = 0;
            DWORD got = 0;
            return ReadFile(stdinHandle, &c, 1, &got, nullptr) && got == 1 ? std::optional<char>(c) : std::nullopt;
        });
    }
    if (in != INVALID_HANDLE_VALUE)
        CloseHandle(in);
    return secret;
}

bool isTerminal(std::FILE* stream)
{
    return _isatty(_fileno(stream)) != 0;
}

}  // namespace adv::platform
