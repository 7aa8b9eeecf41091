// The file probe's steps on Windows: the file system already ignores letter
// case and knows the current drive, so all that is left is to join the pieces
// and read the file's attributes.
#include "platform/OrdinaryFile.h"

#include "platform/FilePaths_win.h"

#include <string>

namespace adv::platform {
namespace {

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Any attribute that keeps a name from counting as an installed program: the
// listing of ordinary files leaves out folders, hidden and system files.
constexpr DWORD kNotOrdinary = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

std::optional<std::wstring> fullPath(const std::wstring& path)
{
    const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return std::nullopt;
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length)
        return std::nullopt;
    full.resize(written);
    return full;
}

}  // namespace

namespace probe {

// "c:" and "\dolvo\dolvo.exe" make "c:\dolvo\dolvo.exe". With no root the
// path stays "\dolvo\dolvo.exe", which Windows itself resolves on the
// current drive, whatever that is at this moment. A folder as root works
// the same way as a drive.
std::optional<std::filesystem::path> locate(const std::filesystem::path& root, const std::vector<std::string>& parts)
{
    std::wstring joined = root.native();
    while (!joined.empty() && isSeparator(joined.back()))
        joined.pop_back();
    for (const std::string& part : parts) {
        const std::optional<std::wstring> wide = win::toUtf16(part);
        if (!wide)
            return std::nullopt;
        joined += L'\\' + *wide;
    }
    return fullPath(joined);
}

std::filesystem::path rootOf(const std::filesystem::path& root)
{
    return fullPath(root.empty() ? std::wstring(L"\\") : root.native() + L'\\').value_or(std::wstring());
}

bool isOrdinary(const std::filesystem::path& path)
{
    const DWORD attributes = GetFileAttributesW(win::longPath(path.native()).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotOrdinary) == 0;
}

// Every link and junction followed.
std::optional<std::filesystem::path> realPath(const std::filesystem::path& path)
{
    if (path.empty())
        return std::nullopt;
    const HANDLE handle = CreateFileW(win::longPath(path.native()).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::optional<std::wstring> real = win::finalPath(handle);
    CloseHandle(handle);
    return real ? std::optional<std::filesystem::path>(*real) : std::nullopt;
}

// Names compare as Windows compares them, ignoring case.
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folderPath)
{
    const std::wstring& inside = path.native();
    std::wstring folder = folderPath.native();
    while (!folder.empty() && isSeparator(folder.back()))
        folder.pop_back();
    return inside.size() > folder.size() + 1 && isSeparator(inside[folder.size()]) &&
           CompareStringOrdinal(inside.data(), static_cast<int>(folder.size()), folder.data(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace probe

std::filesystem::path defaultRoot()
{
    // The current folder's drive; a process started on a network share
    // (\\server\share) has none, and takes the Windows drive.
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, folder);
    if (length < 2 || length > MAX_PATH || folder[1] != L':')
        length = GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
    if (length < 2 || folder[1] != L':')
        return L"c:";
    const wchar_t letter =
        folder[0] >= L'A' && folder[0] <= L'Z' ? static_cast<wchar_t>(folder[0] - L'A' + L'a') : folder[0];
    return std::wstring{letter, L':'};
}

bool isDriveName(std::string_view text)
{
    return text.size() == 2 && text[1] == ':' &&
           ((text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z'));
}

}  // namespace adv::platform
