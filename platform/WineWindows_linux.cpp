// Asking a Windows program under Wine to close. Wine installs no SIGTERM
// handler for it, so a signal ends it at once and its unsaved work with it;
// its windows are X windows, marked with its pid (_NET_WM_PID), and Wine
// answers the X close request (WM_DELETE_WINDOW) as Windows answers a click on
// the close box: WM_CLOSE, which the program may take its time over.
//
// The display, its cookie and the program are another user's when the updater
// runs as root: everything they say is a stranger's word. So the exchange runs
// in a child process that has taken the owner's uid, gids and groups before it
// opens anything, reads the cookie only from the owner's own ordinary file,
// never lets libxcb look for one itself (it would read root's), and reads
// every reply within its stated length. A child that crashes or hangs costs
// the one program it asks, never the sweep.
//
// The child is forked, not exec'd: the updater ships as one file, and glibc's
// fork leaves malloc usable in the child of a threaded process. The child
// calls only libc and libxcb (which starts no threads), touches nothing of
// Qt's, and leaves by _exit.
#include "platform/WineWindows_linux.h"

#include "platform/ProcFiles_linux.h"
#include "platform/Strings.h"
#include "platform/XCloseRequest_linux.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace adv::platform::wine {
namespace {

// Bounds on what a display or a file may make the asker read.
constexpr std::size_t kEnvironLimit = 1 << 20;
constexpr std::size_t kStatusLimit = 1 << 18;

// A display that has not answered by then never will; the updater stops
// its asker sooner, at the end of the grace.
constexpr unsigned kAskerLifeSeconds = 120;

// What the asker writes on its pipe.
constexpr char kSent = 'S';
constexpr char kNoWindow = 'W';
constexpr char kNotAllowed = 'N';

// Everything the asker needs, gathered before it starts.
struct Plan : XTarget {
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

bool readEnvironment(long pid, Plan& plan)
{
    const std::optional<std::string> text = readProc(pid, "environ", kEnvironLimit);
    if (!text)
        return false;
    std::string home;
    for (const std::string_view entry : split(*text, '\0')) {
        const auto take = [entry](std::string_view name, std::string& into) {
            if (entry.size() > name.size() && entry.substr(0, name.size()) == name && entry[name.size()] == '=')
                into = entry.substr(name.size() + 1);
        };
        take("DISPLAY", plan.display);
        take("XAUTHORITY", plan.xauthority);
        take("HOME", home);
    }
    if (plan.xauthority.empty() && !home.empty())
        plan.xauthority = home + "/.Xauthority";
    return true;
}

// The numbers of a line "Name:\t1\t2 3\n" of /proc/PID/status, when the
// line is there whole.
std::optional<std::vector<long>> statusNumbers(std::string_view status, std::string_view name)
{
    std::size_t at = 0;
    while (at < status.size() && status.compare(at, name.size(), name) != 0) {
        at = status.find('\n', at);
        at = at == std::string_view::npos ? status.size() : at + 1;
    }
    const std::size_t end = status.find('\n', at);
    if (at >= status.size() || end == std::string_view::npos)
        return std::nullopt;
    std::vector<long> numbers;
    const char* p = status.data() + at + name.size();
    const char* const last = status.data() + end;
    while (p < last) {
        if (*p == ' ' || *p == '\t') {
            ++p;
            continue;
        }
        long value = 0;
        const auto [next, ec] = std::from_chars(p, last, value);
        if (ec != std::errc() || value < 0)
            return std::nullopt;
        numbers.push_back(value);
        p = next;
    }
    return numbers;
}

// The first id that is not root's among real, effective, saved and
// filesystem: a program that holds any user's id is that user's, and is
// asked with no more than that user's rights.
long ownerId(const std::vector<long>& ids)
{
    for (const long id : ids) {
        if (id != 0)
            return id;
    }
    return 0;
}

bool readOwner(long pid, Plan& plan)
{
    const std::optional<std::string> status = readProc(pid, "status", kStatusLimit);
    if (!status)
        return false;
    const auto uids = statusNumbers(*status, "Uid:");
    const auto gids = statusNumbers(*status, "Gid:");
    const auto groups = statusNumbers(*status, "Groups:");
    if (!uids || !gids || !groups || uids->size() != 4 || gids->size() != 4 || groups->size() > NGROUPS_MAX)
        return false;
    plan.uid = static_cast<uid_t>(ownerId(*uids));
    plan.gid = static_cast<gid_t>(ownerId(*gids));
    plan.groups.assign(groups->begin(), groups->end());
    // Inside a PID namespace of its own (a container, Flatpak) the program
    // knows itself, and marks its windows, by the last of its pids.
    const auto nspids = statusNumbers(*status, "NSpid:");
    plan.windowPid = nspids && !nspids->empty() ? nspids->back() : pid;
    return true;
}

[[noreturn]] void answer(int fd, char what)
{
    [[maybe_unused]] const ssize_t n = ::write(fd, &what, 1);
    ::_exit(0);
}

// The asker's whole life, in the forked child.
[[noreturn]] void ask(const Plan& plan, int answers, pid_t parent, bool dropRights)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(1);
    // Nothing of the updater's open files goes along: the pipe becomes fd 3,
    // and libxcb's complaints (a refusing server's own words) go nowhere.
    if (::dup2(answers, 3) < 0)
        ::_exit(1);
    ::close_range(4, ~0U, 0);
    // Its memory is a copy of the updater's: neither dumped nor traced.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::prctl(PR_SET_DUMPABLE, 0);
    // Whatever the display writes back stays out of the updater's terminal.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0)
        ::_exit(1);
    if (dropRights) {
        if (::setgroups(plan.groups.size(), plan.groups.data()) != 0 ||
            ::setresgid(plan.gid, plan.gid, plan.gid) != 0 || ::setresuid(plan.uid, plan.uid, plan.uid) != 0 ||
            ::geteuid() != plan.uid || ::getegid() != plan.gid)
            answer(3, kNotAllowed);
        // A change of identity clears the parent-death signal: an updater
        // killed meanwhile must not leave its copy waiting on a display.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
    }
    // Whatever else happens, it does not outlive this.
    ::alarm(kAskerLifeSeconds);
    answer(3, sendCloseRequests(plan) > 0 ? kSent : kNoWindow);
}

void reap(long pid)
{
    while (::waitpid(static_cast<pid_t>(pid), nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Whether `pid` sees the same files, network and users as this process.
bool inOurNamespaces(long pid)
{
    for (const char* kind : {"ns/mnt", "ns/net", "ns/user"}) {
        struct stat theirs {};
        struct stat ours {};
        if (::stat(procPath(pid, kind).c_str(), &theirs) != 0 ||
            ::stat((std::string("/proc/self/") + kind).c_str(), &ours) != 0 || theirs.st_ino != ours.st_ino ||
            theirs.st_dev != ours.st_dev)
            return false;
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::uint32_t>> rootWindows(std::span<const std::uint8_t> setup)
{
    const auto u16 = [&setup](std::size_t at) {
        std::uint16_t v = 0;
        std::memcpy(&v, setup.data() + at, sizeof v);
        return std::size_t{v};
    };
    // An 8-byte header whose length counts the 4-byte words after it.
    if (setup.size() < 8 || setup[0] != 1 || setup.size() < 8 + 4 * u16(6))
        return std::nullopt;
    setup = setup.first(8 + 4 * u16(6));
    constexpr std::size_t kFixed = 40;
    if (setup.size() < kFixed)
        return std::nullopt;
    const std::size_t vendorLength = u16(24);
    const std::size_t screens = setup[28];
    const std::size_t formats = setup[29];
    std::size_t at = kFixed + (vendorLength + 3) / 4 * 4 + 8 * formats;

    std::vector<std::uint32_t> roots;
    for (std::size_t s = 0; s < screens; ++s) {
        constexpr std::size_t kScreen = 40;
        if (setup.size() < at + kScreen)
            return std::nullopt;
        std::uint32_t root = 0;
        std::memcpy(&root, setup.data() + at, sizeof root);
        roots.push_back(root);
        const std::size_t depths = setup[at + 39];
        at += kScreen;
        for (std::size_t d = 0; d < depths; ++d) {
            if (setup.size() < at + 8)
                return std::nullopt;
            at += 8 + 24 * u16(at + 2);
        }
        if (setup.size() < at)
            return std::nullopt;
    }
    if (roots.empty())
        return std::nullopt;
    return roots;
}

bool hosts(long pid)
{
    std::array<char, PATH_MAX> exe{};
    const ssize_t n = ::readlink(procPath(pid, "exe").c_str(), exe.data(), exe.size());
    if (n <= 0)
        return false;
    // wine, wine64, wine-preloader, wine64-preloader.
    const std::string_view loader = baseName(std::string_view(exe.data(), static_cast<std::size_t>(n)));
    return loader.substr(0, 4) == "wine" && loader.find("server") == std::string_view::npos;
}

CloseRequest startAsking(long pid, PendingClose& pending)
{
    Plan plan;
    if (!readEnvironment(pid, plan))
        return errno == ESRCH || errno == ENOENT ? CloseRequest::Gone : CloseRequest::NotAllowed;
    if (plan.display.empty())
        return CloseRequest::CannotBeAsked;
    if (!readOwner(pid, plan))
        return CloseRequest::NotAllowed;
    // A program of root's in a container names its cookie file and display
    // in a world of its own: asked from here, as root, its XAUTHORITY would
    // be read among the host's files and their cookie sent where it says.
    if (plan.uid == 0 && !inOurNamespaces(pid))
        return CloseRequest::CannotBeAsked;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return CloseRequest::CannotBeAsked;
    const pid_t parent = ::getpid();
    // Root acts on the program with its owner's rights; anyone else can reach
    // only its own programs, and asks as itself.
    const bool dropRights = ::geteuid() == 0;
    const pid_t asker = ::fork();
    if (asker == 0)
        ask(plan, pipeFds[1], parent, dropRights);
    ::close(pipeFds[1]);
    if (asker < 0) {
        ::close(pipeFds[0]);
        return CloseRequest::CannotBeAsked;
    }
    pending = PendingClose{asker, pipeFds[0], CloseRequest::Pending};
    return CloseRequest::Pending;
}

CloseRequest answerOf(PendingClose& pending)
{
    if (pending.asker == 0)
        return pending.answer;
    char what = 0;
    ssize_t n = 0;
    do {
        n = ::read(static_cast<int>(pending.answers), &what, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN)
        return CloseRequest::Pending;
    // Answered, or ended without a word (it crashed): it exits at once.
    ::close(static_cast<int>(pending.answers));
    reap(pending.asker);
    CloseRequest result = CloseRequest::CannotBeAsked;
    if (n == 1 && what == kSent)
        result = CloseRequest::Sent;
    else if (n == 1 && what == kNotAllowed)
        result = CloseRequest::NotAllowed;
    pending = PendingClose{0, -1, result, result == CloseRequest::Sent};
    return result;
}

void stopAsking(PendingClose& pending)
{
    if (pending.asker == 0)
        return;
    // Not reaped yet, so the pid is still this asker's.
    ::kill(static_cast<pid_t>(pending.asker), SIGKILL);
    ::close(static_cast<int>(pending.answers));
    reap(pending.asker);
    pending = PendingClose{0, -1, CloseRequest::CannotBeAsked};
}

}  // namespace adv::platform::wine
