// Replacing a file on Windows. A program that still holds the installed file
// (one the sweep closed is slow to go, or a virus scanner has just opened the
// new one) makes a rename fail with a sharing or access error for a while:
// renames are retried for a few seconds before the step fails.
//
// The new file goes in with MoveFileExW over the installed one, which on NTFS
// replaces the name in one step. ReplaceFileW is not used: by its own error
// table (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) it can fail with the installed
// name gone, the file left under the backup name.
#include "platform/FileReplacement.h"

#include "platform/Text_win.h"

#include <chrono>
#include <random>
#include <string_view>
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
    std::string out;
    if (length > 0 && text != nullptr) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
        out.resize(static_cast<std::size_t>(bytes > 0 ? bytes : 0));
        if (bytes > 0)
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), bytes, nullptr, nullptr);
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
            out.pop_back();
    }
    LocalFree(text);
    return out + " (error " + std::to_string(error) + ")";
}

ReplaceResult failed(std::string detail)
{
    return {ReplaceStatus::Failed, std::move(detail)};
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

// Renames `from` over `to`, retrying while another program holds either.
DWORD moveOver(const std::wstring& from, const std::wstring& to)
{
    const auto until = std::chrono::steady_clock::now() + kRetryFor;
    for (;;) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return ERROR_SUCCESS;
        const DWORD error = GetLastError();
        if (!heldOpen(error) || std::chrono::steady_clock::now() >= until)
            return error;
        std::this_thread::sleep_for(kRetryEvery);
    }
}

enum class Kind { Missing, File, Other };

Kind kindOf(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Kind::Missing;
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ? Kind::Other : Kind::File;
}

std::wstring temporaryName(const std::wstring& base)
{
    static constexpr wchar_t kAlphabet[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, (sizeof kAlphabet / sizeof kAlphabet[0]) - 2);
    std::wstring name = L"." + base + L".new-";
    for (int i = 0; i < 8; ++i)
        name += kAlphabet[pick(random)];
    return name;
}

// Temporary files of updaters that were killed before they could clean up;
// called with the lock held.
void removeLeftovers(const std::wstring& folder, const std::wstring& base)
{
    WIN32_FIND_DATAW found{};
    const std::wstring pattern = folder + L"." + base + L".new-*";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        (void)DeleteFileW((folder + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

HANDLE createTemporary(const std::wstring& folder, const std::wstring& base, std::wstring& path)
{
    for (int round = 0; round < 8; ++round) {
        path = folder + temporaryName(base);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
            if (file == INVALID_HANDLE_VALUE)
                path.clear();
            return file;
        }
    }
    path.clear();
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
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

// A second name for `from` under a temporary name (a flushed copy where
// the file system cannot link); empty on failure, GetLastError says why.
std::wstring linkOrCopy(const std::wstring& folder, const std::wstring& from, const std::wstring& base)
{
    std::wstring temporary = folder + temporaryName(base);
    if (CreateHardLinkW(temporary.c_str(), from.c_str(), nullptr))
        return temporary;
    if (!CopyFileW(from.c_str(), temporary.c_str(), TRUE))
        return {};
    HANDLE copy = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool flushed = copy != INVALID_HANDLE_VALUE && FlushFileBuffers(copy);
    closeHandle(copy);
    if (!flushed) {
        const DWORD error = GetLastError();
        (void)DeleteFileW(temporary.c_str());
        SetLastError(error);
        return {};
    }
    return temporary;
}

bool writeFileAs(const std::wstring& folder, const std::wstring& path, const std::wstring& base,
                 const std::string& contents)
{
    std::wstring temporary;
    HANDLE file = createTemporary(folder, base, temporary);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = writeAll(file, contents.data(), contents.size()) && FlushFileBuffers(file);
    closeHandle(file);
    ok = ok && moveOver(temporary, path) == ERROR_SUCCESS;
    if (!ok)
        (void)DeleteFileW(temporary.c_str());
    return ok;
}

// Exchanges the files `a` and `b` in three renames; `a` never goes missing.
DWORD exchange(const std::wstring& folder, const std::wstring& a, const std::wstring& b, const std::wstring& base)
{
    const std::wstring held = linkOrCopy(folder, a, base);
    if (held.empty())
        return GetLastError();
    if (const DWORD error = moveOver(b, a); error != ERROR_SUCCESS) {
        (void)DeleteFileW(held.c_str());
        return error;
    }
    return moveOver(held, b);
}

}  // namespace

struct FileReplacement::Handles {
    HANDLE lock = INVALID_HANDLE_VALUE;
    HANDLE temporary = INVALID_HANDLE_VALUE;
    std::wstring folder;     // ends with a backslash
    std::wstring name;       // the target's name in `folder`
    std::wstring temporaryPath;  // empty once renamed or removed

    std::wstring path() const { return folder + name; }

    ~Handles()
    {
        closeHandle(temporary);
        if (!temporaryPath.empty())
            (void)DeleteFileW(temporaryPath.c_str());
        // Opened delete-on-close: the lock file goes with the handle, and
        // with the process however it ends.
        closeHandle(lock);
    }
};

namespace {

ReplaceResult lockFolder(FileReplacement::Handles& h, const std::filesystem::path& target)
{
    h.folder = target.parent_path().wstring();
    if (!h.folder.empty() && h.folder.back() != L'\\' && h.folder.back() != L'/')
        h.folder += L'\\';
    h.name = target.filename().wstring();
    const std::wstring lock = h.path() + L".lock";
    const std::string shown = target.string();

    // Opened by one handle at a time (no sharing): a second updater meets a
    // sharing violation. A leftover folder or read-only file in its place
    // is cleared away; a link is opened as itself, never followed.
    for (int round = 0; round < 4 && h.lock == INVALID_HANDLE_VALUE; ++round) {
        h.lock = CreateFileW(lock.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                             nullptr);
        if (h.lock != INVALID_HANDLE_VALUE)
            break;
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION)
            return {ReplaceStatus::Busy, "another update of " + shown + " is in progress"};
        const DWORD attributes = GetFileAttributesW(lock.c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!RemoveDirectoryW(lock.c_str()))
                    return failed("the lock " + shown + ".lock is a folder that is not empty; remove it");
            } else {
                (void)SetFileAttributesW(lock.c_str(), FILE_ATTRIBUTE_NORMAL);
            }
            continue;
        }
        return failed("cannot create the lock file " + shown + ".lock: " + why(error));
    }
    if (h.lock == INVALID_HANDLE_VALUE)
        return failed("cannot take the lock " + shown + ".lock");
    removeLeftovers(h.folder, h.name);
    return {};
}

}  // namespace

FileReplacement::FileReplacement(std::filesystem::path target) : target_(std::move(target))
{
}

FileReplacement::~FileReplacement() = default;

void FileReplacement::abandon() noexcept
{
    handles_.reset();
    written_ = 0;
}

ReplaceResult FileReplacement::begin()
{
    abandon();
    auto h = std::make_unique<Handles>();
    if (ReplaceResult locked = lockFolder(*h, target_); !locked)
        return locked;
    h->temporary = createTemporary(h->folder, h->name, h->temporaryPath);
    if (h->temporary == INVALID_HANDLE_VALUE)
        return failed("cannot write beside " + target_.string() + ": " + why(GetLastError()));
    handles_ = std::move(h);
    return {};
}

ReplaceResult FileReplacement::write(const char* data, std::size_t size)
{
    if (!handles_ || handles_->temporary == INVALID_HANDLE_VALUE)
        return failed("no replacement of " + target_.string() + " is under way");
    if (!writeAll(handles_->temporary, data, size))
        return failed("cannot write the temporary file beside " + target_.string() + ": " + why(GetLastError()));
    written_ += static_cast<std::int64_t>(size);
    return {};
}

ReplaceResult FileReplacement::commit(const std::optional<std::string>& signature)
{
    if (!handles_ || handles_->temporary == INVALID_HANDLE_VALUE)
        return failed("no replacement of " + target_.string() + " is under way");
    Handles& h = *handles_;
    const std::string shown = target_.string();
    if (!FlushFileBuffers(h.temporary))
        return failed("cannot write the new " + shown + " to disk: " + why(GetLastError()));
    closeHandle(h.temporary);

    // The installed file gets a second name first, kept only once the new
    // file is in: a replacement that fails leaves the earlier .prev alone.
    const std::wstring installed = h.path();
    const bool hadOne = kindOf(installed) == Kind::File;
    std::wstring held;
    if (hadOne) {
        held = linkOrCopy(h.folder, installed, h.name);
        if (held.empty())
            return failed("cannot keep " + shown + " as " + shown + ".prev: " + why(GetLastError()));
    }
    if (const DWORD error = moveOver(h.temporaryPath, installed); error != ERROR_SUCCESS) {
        if (!held.empty())
            (void)DeleteFileW(held.c_str());
        return failed("cannot replace " + shown + ": " + why(error) +
                      (heldOpen(error) ? "; a program still holds it open" : ""));
    }
    h.temporaryPath.clear();

    const std::wstring signatureName = installed + L".minisig";
    if (hadOne) {
        (void)moveOver(held, installed + L".prev");
        const std::wstring previousSignature = installed + L".prev.minisig";
        if (kindOf(signatureName) == Kind::File)
            (void)moveOver(signatureName, previousSignature);
        else
            (void)DeleteFileW(previousSignature.c_str());
    }
    // After the file: a crash in between leaves no signature or the previous
    // release's beside the new file, which never blocks a later update.
    if (signature)
        (void)writeFileAs(h.folder, signatureName, h.name, *signature);
    else
        (void)DeleteFileW(signatureName.c_str());
    handles_.reset();
    return {};
}

ReplaceResult FileReplacement::rollBack(const std::filesystem::path& target)
{
    Handles h;
    if (ReplaceResult locked = lockFolder(h, target); !locked)
        return locked;
    const std::wstring installed = h.path();
    const std::wstring previous = installed + L".prev";
    if (kindOf(previous) != Kind::File)
        return {ReplaceStatus::NothingKept, "no previous " + target.string() + " is kept"};

    const std::string shown = target.string();
    switch (kindOf(installed)) {
    case Kind::File:
        if (const DWORD error = exchange(h.folder, installed, previous, h.name); error != ERROR_SUCCESS)
            return failed("cannot swap " + shown + " and " + shown + ".prev: " + why(error));
        break;
    case Kind::Missing:
        if (const DWORD error = moveOver(previous, installed); error != ERROR_SUCCESS)
            return failed("cannot put back " + shown + ".prev: " + why(error));
        break;
    case Kind::Other: return failed(shown + " is not an ordinary file");
    }

    // Each signature goes with its file.
    const std::wstring signature = installed + L".minisig";
    const std::wstring previousSignature = previous + L".minisig";
    const bool current = kindOf(signature) == Kind::File;
    const bool kept = kindOf(previousSignature) == Kind::File;
    if (current && kept)
        (void)exchange(h.folder, signature, previousSignature, h.name);
    else if (current)
        (void)moveOver(signature, previousSignature);
    else if (kept)
        (void)moveOver(previousSignature, signature);
    return {};
}

}  // namespace adv::platform
