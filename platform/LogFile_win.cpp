#include "platform/LogFile.h"

#include "platform/FilePaths_win.h"
#include "platform/FilePermissions.h"

#include <algorithm>

namespace adv::platform {
namespace {

class WindowsLogFile final : public LogFile {
public:
    explicit WindowsLogFile(HANDLE handle) : handle_(handle) {}
    ~WindowsLogFile() override { CloseHandle(handle_); }
    WindowsLogFile(const WindowsLogFile&) = delete;
    WindowsLogFile& operator=(const WindowsLogFile&) = delete;

    std::int64_t size() const override
    {
        LARGE_INTEGER size{};
        return GetFileSizeEx(handle_, &size) ? static_cast<std::int64_t>(size.QuadPart) : 0;
    }

    bool write(std::string_view bytes) override
    {
        while (!bytes.empty()) {
            DWORD written = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
            if (!WriteFile(handle_, bytes.data(), chunk, &written, nullptr) || written == 0)
                return false;
            bytes.remove_prefix(written);
        }
        return true;
    }

private:
    HANDLE handle_;
};

constexpr DWORD kNotAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

}  // namespace

LogFile::Opened LogFile::open(const std::filesystem::path& path)
{
    const std::wstring at = win::longPath(path.wstring());
    const std::string shown = win::toUtf8(path.wstring());
    const DWORD attributes = GetFileAttributesW(at.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kNotAFile))
        return {nullptr, shown + " is not an ordinary file"};
    // An elevated run shares the folder with no user who is not an
    // administrator; a user's own run writes where every user's runs write.
    const bool guarded = runsAsAdministrator();
    if (guarded && othersMayWrite(path.parent_path()))
        return {nullptr,
                "others than the administrators may write the folder " + win::toUtf8(path.parent_path().wstring())};
    // A link is opened as itself, never followed.
    const HANDLE handle = CreateFileW(
        at.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {nullptr, "cannot open " + shown + " (error " + std::to_string(GetLastError()) + ")"};
    auto file = std::make_unique<WindowsLogFile>(handle);
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & kNotAFile))
        return {nullptr, shown + " is not an ordinary file"};
    if (guarded && othersMayWrite(path))
        return {nullptr, "others than the administrators may write " + shown};
    return {std::move(file), {}};
}

}  // namespace adv::platform
