#include "platform/FilePaths_win.h"

#include <winternl.h>

#include <vector>

namespace adv::platform::win {
namespace {

bool startsWith(const std::wstring& text, std::wstring_view prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A path in the NT namespace that stands for a DOS one ("\??\C:\...",
// "\??\UNC\...") as the operator writes it; a device path stays unknown.
std::optional<std::wstring> dosPath(std::wstring path)
{
    if (startsWith(path, L"\\??\\UNC\\"))
        return path.replace(0, 8, L"\\\\");
    if (startsWith(path, L"\\??\\") && path.size() > 6 && path[5] == L':')
        return path.erase(0, 4);
    return std::nullopt;
}

// The object's own name. GetFinalPathNameByHandleW reads it into a buffer
// of MAX_PATH under Wine and fails past that; Wine names a file by its DOS
// path, which is all this is used for.
std::optional<std::wstring> objectName(HANDLE handle)
{
    std::vector<unsigned char> buffer(sizeof(OBJECT_NAME_INFORMATION) + 65536);
    ULONG needed = 0;
    if (!NT_SUCCESS(
            NtQueryObject(handle, ObjectNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)))
        return std::nullopt;
    const auto* name = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data());
    if (name->Name.Buffer == nullptr)
        return std::nullopt;
    return dosPath(std::wstring(name->Name.Buffer, name->Name.Length / sizeof(wchar_t)));
}

}  // namespace

std::wstring longPath(const std::wstring& path)
{
    if (startsWith(path, L"\\\\?\\") || startsWith(path, L"\\\\.\\"))
        return path;
    std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD written =
        full.empty() ? 0 : GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (written == 0 || written >= full.size())
        return path;
    full.resize(written);
    if (startsWith(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::optional<std::wstring> finalPath(HANDLE handle)
{
    std::wstring real(MAX_PATH, L'\0');
    DWORD written = GetFinalPathNameByHandleW(handle, real.data(), static_cast<DWORD>(real.size()), 0);
    if (written >= real.size()) {
        real.resize(written);
        written = GetFinalPathNameByHandleW(handle, real.data(), static_cast<DWORD>(real.size()), 0);
    }
    if (written == 0 && GetLastError() == ERROR_MORE_DATA)
        return objectName(handle);
    if (written == 0 || written >= real.size())
        return std::nullopt;
    real.resize(written);
    if (startsWith(real, L"\\\\?\\UNC\\"))
        return real.replace(0, 8, L"\\\\");
    if (startsWith(real, L"\\\\?\\"))
        return real.erase(0, 4);
    return real;
}

}  // namespace adv::platform::win
