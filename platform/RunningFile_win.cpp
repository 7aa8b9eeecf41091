// Which processes run a file, on Windows: the image each process was started
// from, asked of the process itself, opened and compared with the file by
// volume and file index, so that neither a name nor a path can stand in for
// it.
#include "platform/RunningFile.h"

#include "platform/FilePaths_win.h"

#include <optional>
#include <string>

namespace adv::platform {
namespace {

struct Identity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    friend bool operator==(const Identity&, const Identity&) = default;
};

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (valid())
            CloseHandle(handle_);
    }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Opened for its attributes alone, sharing everything: a running program
// holds its image, and may hold it against writers.
std::optional<Identity> identityOf(const std::wstring& path)
{
    const Handle file(CreateFileW(win::longPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::nullopt;
    return Identity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

std::optional<std::wstring> imagePath(long pid)
{
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process.valid())
        return std::nullopt;
    // Room for the longest path Windows knows, so no retry is needed.
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &size))
        return std::nullopt;
    path.resize(size);
    return path;
}

}  // namespace

std::vector<long> processesRunningFile(const std::filesystem::path& file, std::span<const long> pids)
{
    const std::optional<Identity> installed = identityOf(file.wstring());
    if (!installed)
        return {};
    std::vector<long> running;
    for (const long pid : pids) {
        if (pid <= 0)
            continue;
        const std::optional<std::wstring> image = imagePath(pid);
        if (image && identityOf(*image) == installed)
            running.push_back(pid);
    }
    return running;
}

}  // namespace adv::platform
