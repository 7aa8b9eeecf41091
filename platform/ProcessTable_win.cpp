// The process table on Windows: Toolhelp32 for the walk, a process handle for
// everything after it. A handle keeps its process object alive, and with it the
// pid, so once a process is opened and its name checked through the handle,
// nothing done here can land on another program.
#include "platform/ProcessTable.h"

#include "platform/Strings.h"
#include "platform/Text_win.h"

#include <tlhelp32.h>

#include <algorithm>
#include <optional>
#include <utility>

namespace adv::platform {
namespace {

HANDLE asHandle(std::intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

// -1 is this class's "nothing held", but to Windows it also means the calling
// process (GetCurrentProcess()); it must never reach a wait or a terminate.
// 0 is what a failed OpenProcess gives.
bool holdsHandle(std::intptr_t value)
{
    return value != -1 && value != 0;
}

class Snapshot {
public:
    Snapshot() : handle_(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)) {}
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    ~Snapshot()
    {
        if (valid())
            CloseHandle(handle_);
    }

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// The file name of the image that `process` runs, asked of the process object
// itself rather than of the snapshot, which may be stale by now.
std::optional<std::wstring> imageName(HANDLE process)
{
    // Room for the longest path Windows knows, so no retry is needed.
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process, 0, path.data(), &size))
        return std::nullopt;
    path.resize(size);
    return std::wstring(baseName(std::wstring_view(path)));
}

struct WindowsOf {
    DWORD pid = 0;
    int windows = 0;
    int posted = 0;
};

BOOL CALLBACK postCloseToWindowOf(HWND window, LPARAM param)
{
    auto* request = reinterpret_cast<WindowsOf*>(param);
    DWORD owner = 0;
    if (GetWindowThreadProcessId(window, &owner) != 0 && owner == request->pid) {
        ++request->windows;
        if (PostMessageW(window, WM_CLOSE, 0, 0))
            ++request->posted;
    }
    return TRUE;
}

DWORD waitMilliseconds(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero())
        return 0;
    // INFINITE itself would mean "no limit".
    return static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(left.count(), INFINITE - 1));
}

}  // namespace

void RunningProcess::release() noexcept
{
    if (holdsHandle(handle_))
        CloseHandle(asHandle(handle_));
    handle_ = -1;
}

// A program is asked to close the way the user would ask it: WM_CLOSE to each
// of its top-level windows, shown or hidden, so it can save and end by itself.
// A program with no window cannot be asked at all.
CloseRequest RunningProcess::requestClose()
{
    if (hasExited())
        return CloseRequest::Gone;
    WindowsOf request;
    request.pid = static_cast<DWORD>(pid_);
    EnumWindows(&postCloseToWindowOf, reinterpret_cast<LPARAM>(&request));
    if (request.windows == 0)
        return CloseRequest::CannotBeAsked;
    pending_.throughWindow = request.posted > 0;
    // Every window turned the message away: a program of higher integrity.
    return request.posted > 0 ? CloseRequest::Sent : CloseRequest::NotAllowed;
}

// WM_CLOSE is posted at once: a request is answered when it is made.
CloseRequest RunningProcess::closeRequestAnswer()
{
    return pending_.answer;
}

void RunningProcess::abandonCloseRequest()
{
}

bool RunningProcess::forceClose()
{
    return holdsHandle(handle_) && TerminateProcess(asHandle(handle_), 0) != 0;
}

bool RunningProcess::hasExited() const
{
    return !holdsHandle(handle_) || WaitForSingleObject(asHandle(handle_), 0) == WAIT_OBJECT_0;
}

namespace walk {

struct Listing::State {
    std::vector<std::wstring> wanted;
    Snapshot snapshot;
    PROCESSENTRY32W entry{};
    bool started = false;
    DWORD self = GetCurrentProcessId();

    std::optional<std::size_t> nameOf(std::wstring_view image) const
    {
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (!wanted[i].empty() && win::sameFileName(image, wanted[i]))
                return i;
        }
        return std::nullopt;
    }
};

Listing::Listing(std::span<const std::string_view> names) : state_(std::make_unique<State>())
{
    for (const std::string_view name : names) {
        // A name that is not UTF-8 or empty matches nothing.
        std::optional<std::wstring> wide = win::toUtf16(name);
        state_->wanted.push_back(wide ? std::move(*wide) : std::wstring());
    }
    state_->entry.dwSize = sizeof state_->entry;
}

Listing::~Listing() = default;

bool Listing::next(long& pid, std::size_t& name)
{
    State& s = *state_;
    if (!s.snapshot.valid())
        return false;
    for (;;) {
        const BOOL got =
            s.started ? Process32NextW(s.snapshot.get(), &s.entry) : Process32FirstW(s.snapshot.get(), &s.entry);
        s.started = true;
        if (!got)
            return false;
        if (s.entry.th32ProcessID == s.self || s.entry.th32ProcessID == 0)
            continue;
        if (const auto named = s.nameOf(s.entry.szExeFile)) {
            pid = static_cast<long>(s.entry.th32ProcessID);
            name = *named;
            return true;
        }
    }
}

// A process may hold millions of handles: no walk runs out of room.
Opened Listing::open(long pid, std::size_t name, std::size_t, RunningProcess& process)
{
    const HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                      static_cast<DWORD>(pid));
    if (handle == nullptr)
        // ERROR_INVALID_PARAMETER: no such process any more, nothing left to close.
        return GetLastError() == ERROR_INVALID_PARAMETER ? Opened::Gone : Opened::Refused;
    process = RunningProcess(pid, reinterpret_cast<std::intptr_t>(handle), name);
    // The pid may have been reused between the snapshot and the open, and
    // the handle holds whatever runs there now: look again through it.
    const std::optional<std::wstring> image = imageName(handle);
    if (!image)
        return process.hasExited() ? Opened::Gone : Opened::Refused;
    return state_->nameOf(*image) == name ? Opened::Yes : Opened::Gone;
}

}  // namespace walk

bool waitForExit(std::span<RunningProcess> procs, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + std::max(timeout, std::chrono::milliseconds::zero());
    std::vector<HANDLE> running;
    running.reserve(procs.size());
    for (const RunningProcess& p : procs) {
        if (!p.hasExited())
            running.push_back(asHandle(p.handle_));
    }

    // WaitForMultipleObjects takes at most 64 handles: wait for each group in
    // turn, all of it, with what is left of the one time limit. A group that
    // ends early costs nothing, so the whole wait lasts as long as the slowest.
    for (std::size_t first = 0; first < running.size(); first += MAXIMUM_WAIT_OBJECTS) {
        const std::size_t count = std::min<std::size_t>(MAXIMUM_WAIT_OBJECTS, running.size() - first);
        const DWORD result =
            WaitForMultipleObjects(static_cast<DWORD>(count), running.data() + first, TRUE, waitMilliseconds(deadline));
        if (result == WAIT_TIMEOUT)
            return false;
        if (result == WAIT_FAILED) {
            // One bad handle fails the whole group; wait for the others one by one.
            for (std::size_t i = first; i < first + count; ++i) {
                if (WaitForSingleObject(running[i], waitMilliseconds(deadline)) == WAIT_TIMEOUT)
                    return false;
            }
        }
    }
    return false;
}

}  // namespace adv::platform
