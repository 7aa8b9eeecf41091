// The file probe on Windows: the file system already ignores letter case and
// knows the current drive, so all that is left is to join the pieces and read
// the file's attributes.
#include "platform/OrdinaryFile.h"

#include "platform/FilePaths_win.h"

#include <string>

namespace adv::platform {
namespace {

bool isSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// True when some component of `path` is "..": nothing outside the root may
// stand for an installation.
bool climbsUp(std::wstring_view path)
{
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find_first_of(L"\\/", start);
        if (end == std::wstring_view::npos)
            end = path.size();
        if (path.substr(start, end - start) == L"..")
            return true;
        start = end + 1;
    }
    return false;
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

// Where `path` really is, every link and junction followed.
std::optional<std::wstring> finalPath(const std::wstring& path)
{
    const HANDLE handle = CreateFileW(win::longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::optional<std::wstring> real = win::finalPath(handle);
    CloseHandle(handle);
    return real;
}

// Whether `path` lies strictly below `folder`; names compare as Windows
// compares them, ignoring case.
bool isInside(const std::wstring& path, std::wstring folder)
{
    while (!folder.empty() && isSeparator(folder.back()))
        folder.pop_back();
    return path.size() > folder.size() + 1 && isSeparator(path[folder.size()]) &&
           CompareStringOrdinal(path.data(), static_cast<int>(folder.size()), folder.data(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::optional<std::filesystem::path> findOrdinaryFile(const std::filesystem::path& root, std::string_view path)
{
    std::optional<std::wstring> relative = win::toUtf16(path);
    if (!relative)
        return std::nullopt;
    // A pattern would match some file the caller did not name.
    if (relative->find_first_of(L"*?") != std::wstring::npos || climbsUp(*relative))
        return std::nullopt;
    const std::size_t firstPart = relative->find_first_not_of(L"\\/");
    if (firstPart == std::wstring::npos)
        return std::nullopt;

    // "c:" and "\dolvo\dolvo.exe" make "c:\dolvo\dolvo.exe". With no root the
    // path stays "\dolvo\dolvo.exe", which Windows itself resolves on the
    // current drive, whatever that is at this moment. A folder as root works
    // the same way as a drive.
    std::wstring joined = root.native();
    while (!joined.empty() && isSeparator(joined.back()))
        joined.pop_back();
    joined += L'\\';
    joined.append(*relative, firstPart);

    const std::optional<std::wstring> full = fullPath(joined);
    const std::optional<std::wstring> fullRoot = fullPath(root.empty() ? std::wstring(L"\\") : root.native() + L'\\');
    if (!full || !fullRoot)
        return std::nullopt;
    const DWORD attributes = GetFileAttributesW(win::longPath(*full).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotOrdinary) != 0)
        return std::nullopt;

    // A link or junction may point anywhere; followed out of the root it
    // would make the update overwrite a file that no product installed. The
    // answer is the real path, so that what is checked here is what gets
    // written.
    const std::optional<std::wstring> real = finalPath(*full);
    const std::optional<std::wstring> realRoot = finalPath(*fullRoot);
    if (!real || !realRoot || !isInside(*real, *realRoot))
        return std::nullopt;
    const DWORD realAttributes = GetFileAttributesW(win::longPath(*real).c_str());
    if (realAttributes == INVALID_FILE_ATTRIBUTES || (realAttributes & kNotOrdinary) != 0)
        return std::nullopt;
    return std::filesystem::path(*real);
}

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
