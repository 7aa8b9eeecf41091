#include "StandIns.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace adv::test {
namespace {

constexpr DWORD kStartLimitMs = 30'000;

std::filesystem::path ownFolder()
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return std::filesystem::path(path).parent_path();
}

// Call it right after the failed call: it reports that call's error.
std::runtime_error failure(const std::wstring& what)
{
    const DWORD error = GetLastError();
    return std::runtime_error(toUtf8(what) + " (error " + std::to_string(error) + ")");
}

}  // namespace

TempFolder::TempFolder()
{
    std::array<wchar_t, MAX_PATH + 1> temp{};
    const DWORD length = GetTempPathW(static_cast<DWORD>(temp.size()), temp.data());
    if (length == 0 || length > temp.size())
        throw failure(L"no temporary folder");
    path_ = std::filesystem::path(std::wstring(temp.data(), length)) / (L"adv-test-" + uniqueTag());
    std::filesystem::create_directory(path_);
}

TempFolder::~TempFolder()
{
    // A program that has just ended may hold its file for a moment longer.
    for (int attempt = 0; attempt < 50; ++attempt) {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        if (!error)
            return;
        Sleep(100);
    }
    std::fprintf(stderr, "could not remove %s\n", toUtf8(path_.native()).c_str());
}

std::wstring uniqueTag()
{
    static unsigned counter = 0;
    static const unsigned salt = std::random_device{}();
    std::array<wchar_t, 64> text{};
    std::swprintf(text.data(), text.size(), L"%lu_%08x_%u", GetCurrentProcessId(), salt, ++counter);
    return text.data();
}

std::string toUtf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int units = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), units, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

const wchar_t* modeArgument(StandInMode mode)
{
    switch (mode) {
    case StandInMode::Visible: return L"visible";
    case StandInMode::Hidden: return L"hidden";
    case StandInMode::Ignore: return L"ignore";
    case StandInMode::Asks: return L"asks";
    case StandInMode::Windowless: return L"windowless";
    case StandInMode::ProbeSelf: return L"probe-self";
    }
    return L"?";
}

void PrintTo(StandInMode mode, std::ostream* out)
{
    *out << toUtf8(modeArgument(mode));
}

bool StandIn::running() const
{
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

bool StandIn::wasAskedToClose() const
{
    return std::filesystem::exists(marker);
}

std::string StandIn::markerText() const
{
    std::ifstream in(marker, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<DWORD> StandIn::exitCodeWithin(std::chrono::milliseconds limit) const
{
    if (WaitForSingleObject(process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

StandIns::~StandIns()
{
    for (const auto& standIn : started_) {
        if (standIn->running()) {
            TerminateProcess(standIn->process, 1);
            WaitForSingleObject(standIn->process, 5'000);
        }
        CloseHandle(standIn->process);
    }
}

const StandIn& StandIns::start(const std::wstring& imageName, StandInMode mode)
{
    const std::filesystem::path exe = folder() / imageName;
    if (!CopyFileW((ownFolder() / L"stand_in.exe").c_str(), exe.c_str(), TRUE) && GetLastError() != ERROR_FILE_EXISTS)
        throw failure(L"cannot copy the stand-in to " + exe.native());

    auto standIn = std::make_unique<StandIn>();
    standIn->imageName = imageName;
    const std::wstring tag = uniqueTag();
    standIn->marker = folder() / (L"closed-" + tag);
    const std::wstring eventName = L"Local\\adv-ready-" + tag;
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    if (ready == nullptr)
        throw failure(L"cannot create " + eventName);

    std::wstring commandLine = L"\"" + exe.native() + L"\" " + modeArgument(mode) + L" \"" + eventName + L"\" \"" +
                               standIn->marker.native() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder().c_str(),
                        &startup, &info)) {
        const std::runtime_error error = failure(L"cannot start " + exe.native());
        CloseHandle(ready);
        throw error;
    }
    CloseHandle(info.hThread);
    standIn->pid = info.dwProcessId;
    standIn->process = info.hProcess;
    const StandIn& started = *standIn;
    started_.push_back(std::move(standIn));

    const std::array<HANDLE, 2> waitFor{ready, info.hProcess};
    const DWORD woken = WaitForMultipleObjects(2, waitFor.data(), FALSE, kStartLimitMs);
    CloseHandle(ready);
    if (woken == WAIT_OBJECT_0 + 1) {
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        throw std::runtime_error(toUtf8(imageName) + " ended while starting, exit code " + std::to_string(code));
    }
    if (woken != WAIT_OBJECT_0)
        throw failure(imageName + L" did not get ready");
    return started;
}

}  // namespace adv::test
