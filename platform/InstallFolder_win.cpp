// The installation's folder on Windows. The folder stays open, without delete
// sharing, for as long as the object lives, so Windows refuses to move it or
// a folder above it; every step that names a file first checks that the
// folder's path still leads to the folder that was opened, and fails rather
// than follow a path that now leads elsewhere. A name that is a link, or that
// leads elsewhere (Wine shows a Unix link as the file it points to), is
// never a file here.
//
// A program that still holds the installed file (one the sweep closed is slow
// to go, or a virus scanner has just opened the new one) makes a rename fail
// with a sharing or access error for a while: renames are retried for a few
// seconds. MoveFileExW replaces a name in one step on NTFS; ReplaceFileW is
// not used: by its own error table (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) it can
// fail with the installed name gone.
#include "platform/InstallFolder.h"

#include "platform/FilePaths_win.h"

#include <chrono>
#include <thread>
#include <utility>

namespace adv::platform {
namespace {

constexpr auto kRetryFor = std::chrono::seconds(5);
constexpr auto kRetryEvery = std::chrono::milliseconds(100);

std::string why(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = length > 0 && text != nullptr ? win::toUtf8(std::wstring_view(text, length)) : std::string();
    LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    return out + " (error " + std::to_string(error) + ")";
}

ReplaceResult failed(std::string detail, DWORD error)
{
    return {ReplaceStatus::Failed, std::move(detail) + ": " + why(error)};
}

void closeHandle(HANDLE& handle) noexcept
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

// Errors that another program's open handle causes, and that go away when it lets go.
bool heldOpen(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

bool writeAll(HANDLE file, const char* data, std::size_t size)
{
    while (size > 0) {
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD done = 0;
        if (!WriteFile(file, data, chunk, &done, nullptr) || done == 0)
            return false;
        data += done;
        size -= done;
    }
    return true;
}

class WindowsFolder final : public InstallFolder {
public:
    WindowsFolder(HANDLE folder, const std::wstring& path) : folder_(folder), shown_(win::toUtf8(path))
    {
        if (!shown_.empty() && shown_.back() != '\\' && shown_.back() != '/')
            shown_ += '\\';
        path_ = win::longPath(path);
        if (path_.back() != L'\\')
            path_ += L'\\';
        (void)GetFileInformationByHandle(folder_, &opened_);
    }
    ~WindowsFolder() override
    {
        closeHandle(open_);
        // Opened delete-on-close: the lock file goes with the handle, and
        // with the process however it ends.
        closeHandle(lock_);
        closeHandle(folder_);
    }
    WindowsFolder(const WindowsFolder&) = delete;
    WindowsFolder& operator=(const WindowsFolder&) = delete;

    std::string shown(const std::string& name) const override { return shown_ + name; }

    ReplaceResult lock(const std::string& name) override
    {
        if (ReplaceResult here = stillHere(); !here)
            return here;
        const std::wstring lock = at(name);
        // Opened by one handle at a time (no sharing): a second updater meets
        // a sharing violation. A leftover folder or read-only file in its
        // place is cleared away. A link is held as it is, never deleted on
        // close: Wine takes a Unix link for the file it points to, and would
        // delete that.
        for (int round = 0; round < 4; ++round) {
            if (entry(name).kind == EntryKind::Other && !isFolder(lock)) {
                lock_ = CreateFileW(lock.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
                if (lock_ != INVALID_HANDLE_VALUE)
                    return {};
                if (GetLastError() == ERROR_SHARING_VIOLATION)
                    return {ReplaceStatus::Busy, "another update of " + shown(name) + " is in progress"};
                (void)DeleteFileW(lock.c_str());  // a link to nothing
                continue;
            }
            lock_ =
                CreateFileW(lock.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (lock_ != INVALID_HANDLE_VALUE)
                return {};
            const DWORD error = GetLastError();
            if (error == ERROR_SHARING_VIOLATION)
                return {ReplaceStatus::Busy, "another update of " + shown(name) + " is in progress"};
            const DWORD attributes = GetFileAttributesW(lock.c_str());
            if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES) {
                if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (!RemoveDirectoryW(lock.c_str()))
                        return {ReplaceStatus::Failed,
                                "the lock " + shown(name) + " is a folder that is not empty; remove it"};
                } else {
                    (void)SetFileAttributesW(lock.c_str(), FILE_ATTRIBUTE_NORMAL);
                }
                continue;
            }
            return failed("cannot create the lock file " + shown(name), error);
        }
        return {ReplaceStatus::Failed, "cannot take the lock " + shown(name)};
    }

    Entry entry(const std::string& name) override
    {
        HANDLE file = CreateFileW(at(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
            return {missing ? EntryKind::Missing : EntryKind::Other};
        }
        BY_HANDLE_FILE_INFORMATION info{};
        const bool known = GetFileInformationByHandle(file, &info);
        const bool itself = leadsHere(file, name);
        closeHandle(file);
        if (!known || !itself || (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            return {EntryKind::Other};
        const auto join = [](DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; };
        return {
            EntryKind::File, join(info.nFileIndexHigh, info.nFileIndexLow),
            static_cast<std::int64_t>(join(info.nFileSizeHigh, info.nFileSizeLow)),
            static_cast<std::int64_t>(join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime))};
    }

    std::vector<std::string> names() override
    {
        std::vector<std::string> out;
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW((path_ + L"*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return out;
        do {
            out.push_back(win::toUtf8(found.cFileName));
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return out;
    }

    ReplaceResult create(const std::string& name) override
    {
        if (ReplaceResult here = stillHere(); !here)
            return here;
        closeHandle(open_);
        open_ = CreateFileW(at(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (open_ == INVALID_HANDLE_VALUE)
            return failed("cannot write beside " + shown(name), GetLastError());
        return {};
    }

    // A download a cut run left is gone on with only when it is an ordinary
    // file of the folder's own: not a reparse point, nor a name that leads
    // elsewhere, nor a second name of another file, and no larger than the
    // release. Who may have written it is the folder's access list's to say,
    // as for the program itself: whoever may create a file here may replace
    // the program too. Nobody else writes it while it is open; reads share it.
    ReplaceResult reopen(const std::string& name, std::int64_t maxSize, std::int64_t& size) override
    {
        if (ReplaceResult here = stillHere(); !here)
            return here;
        closeHandle(open_);
        size = 0;
        if (entry(name).kind == EntryKind::File)
            open_ = CreateFileW(at(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        BY_HANDLE_FILE_INFORMATION info{};
        LARGE_INTEGER end{};
        if (open_ != INVALID_HANDLE_VALUE && GetFileType(open_) == FILE_TYPE_DISK &&
            GetFileInformationByHandle(open_, &info) && info.nNumberOfLinks == 1 &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            leadsHere(open_, name) && SetFilePointerEx(open_, LARGE_INTEGER{}, &end, FILE_END) &&
            end.QuadPart <= maxSize) {
            size = end.QuadPart;
            return {};
        }
        closeHandle(open_);
        return {ReplaceStatus::Failed, shown(name) + " is no download of this updater's to go on with"};
    }

    ReplaceResult write(const char* data, std::size_t size) override
    {
        if (open_ == INVALID_HANDLE_VALUE || !writeAll(open_, data, size))
            return failed("cannot write in " + shown_, GetLastError());
        return {};
    }

    ReplaceResult seal(const std::string&) override
    {
        // The new file takes the folder's inherited access list.
        if (!FlushFileBuffers(open_)) {
            const DWORD error = GetLastError();
            closeHandle(open_);
            return failed("cannot write a new file in " + shown_ + " to disk", error);
        }
        closeHandle(open_);
        return {};
    }

    void discard() noexcept override { closeHandle(open_); }

    ReplaceResult read(const std::string& name, std::int64_t offset, char* buffer, std::size_t size,
                       std::size_t& got) override
    {
        got = 0;
        if (ReplaceResult here = stillHere(); !here)
            return here;
        HANDLE file =
            CreateFileW(at(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return failed("cannot read " + shown(name), GetLastError());
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            closeHandle(file);
            return {ReplaceStatus::Failed, shown(name) + " is not an ordinary file"};
        }
        LARGE_INTEGER at{};
        at.QuadPart = offset;
        bool ok = SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
        while (ok && got < size) {
            const DWORD chunk = size - got > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size - got);
            DWORD done = 0;
            ok = ReadFile(file, buffer + got, chunk, &done, nullptr);
            if (!ok || done == 0)
                break;
            got += done;
        }
        const DWORD error = GetLastError();
        closeHandle(file);
        if (!ok)
            return failed("cannot read " + shown(name), error);
        return {};
    }

    ReplaceResult link(const std::string& from, const std::string& to) override
    {
        if (ReplaceResult here = stillHere(); !here)
            return here;
        if (CreateHardLinkW(at(to).c_str(), at(from).c_str(), nullptr))
            return {};
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED)
            return failed("cannot keep " + shown(from) + " as " + to, error);
        return {ReplaceStatus::Unsupported, "the file system cannot give " + shown(from) + " a second name"};
    }

    ReplaceResult renameOver(const std::string& from, const std::string& to) override
    {
        if (ReplaceResult here = stillHere(); !here)
            return here;
        const auto until = std::chrono::steady_clock::now() + kRetryFor;
        for (;;) {
            if (MoveFileExW(at(from).c_str(), at(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                return {};
            const DWORD error = GetLastError();
            if (!heldOpen(error))
                return failed("cannot rename " + shown(from) + " to " + to, error);
            if (std::chrono::steady_clock::now() >= until)
                return {ReplaceStatus::HeldOpen, "cannot rename " + shown(from) + " to " + to + ": " + why(error)};
            std::this_thread::sleep_for(kRetryEvery);
        }
    }

    ReplaceResult exchange(const std::string& a, const std::string& b) override
    {
        return {ReplaceStatus::Unsupported, "Windows cannot swap " + shown(a) + " and " + b};
    }

    // Under Wine a delete follows a Unix link and removes the file it leads
    // to: such a name is left as it is. (Windows' own links are reparse
    // points, removed themselves.)
    ReplaceResult remove(const std::string& name) override
    {
        if (ReplaceResult here = stillHere(); !here)
            return here;
        HANDLE file = CreateFileW(at(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        const bool elsewhere = file != INVALID_HANDLE_VALUE && !leadsHere(file, name);
        closeHandle(file);
        if (elsewhere)
            return {ReplaceStatus::Failed, shown(name) + " leads to another file, and is left as it is"};
        if (!DeleteFileW(at(name).c_str())) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                return failed("cannot remove " + shown(name), error);
        }
        return {};
    }

    // Every rename was written through; Windows has no flush of a folder.
    ReplaceResult sync() override { return {}; }

private:
    std::wstring at(const std::string& name) const { return path_ + win::toUtf16(name).value_or(L"?"); }

    // Whether the open `file` is the folder's own entry `name`, not what a
    // link there leads to.
    bool leadsHere(HANDLE file, const std::string& name) const
    {
        const std::optional<std::wstring> real = win::finalPath(file);
        const std::optional<std::wstring> folder = win::finalPath(folder_);
        return real && folder && win::sameFileName(*real, *folder + L"\\" + win::toUtf16(name).value_or(L"?"));
    }

    static bool isFolder(const std::wstring& path)
    {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    }

    // Whether the folder's path still leads to the folder that was opened.
    ReplaceResult stillHere() const
    {
        HANDLE now = CreateFileW(path_.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        BY_HANDLE_FILE_INFORMATION info{};
        const bool known = now != INVALID_HANDLE_VALUE && GetFileInformationByHandle(now, &info);
        if (now != INVALID_HANDLE_VALUE)
            CloseHandle(now);
        if (known && info.dwVolumeSerialNumber == opened_.dwVolumeSerialNumber &&
            info.nFileIndexHigh == opened_.nFileIndexHigh && info.nFileIndexLow == opened_.nFileIndexLow)
            return {};
        return {ReplaceStatus::Failed, "the folder " + shown_ + " was moved or replaced during the update"};
    }

    HANDLE folder_ = INVALID_HANDLE_VALUE;
    HANDLE lock_ = INVALID_HANDLE_VALUE;
    HANDLE open_ = INVALID_HANDLE_VALUE;
    std::string shown_;  // ends with a backslash
    std::wstring path_;  // the same, as the file calls take it at any length
    BY_HANDLE_FILE_INFORMATION opened_{};
};

}  // namespace

OpenedFolder openInstallFolder(const std::filesystem::path& path)
{
    const std::wstring wide = path.wstring();
    HANDLE folder =
        CreateFileW(win::longPath(wide).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return {nullptr, failed("cannot open the folder " + win::toUtf8(wide), GetLastError())};
    return {std::make_unique<WindowsFolder>(folder, wide), {}};
}

}  // namespace adv::platform
