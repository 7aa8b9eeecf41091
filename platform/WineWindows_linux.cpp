// Asking a Windows program under Wine to close. Wine installs no SIGTERM
// handler for it, so a signal ends it at once and its unsaved work with it;
// its windows are X windows, marked with its Unix pid (_NET_WM_PID), and Wine
// answers the X close request (WM_DELETE_WINDOW) as Windows answers a click on
// the close box: WM_CLOSE, which the program may take its time over.
//
// The display and its cookie are those of the program's own environment. The
// updater may run as root on another user's program: the cookie is read only
// from a file that user owns, so root is never made to send the contents of
// one of its own files to a display of the user's choosing.
#include "platform/WineWindows_linux.h"

#include <X11/Xauth.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace adv::platform::wine {
namespace {

// A display that does not answer within this time is given up on: the
// program is then treated as one that cannot be asked.
constexpr std::chrono::milliseconds kDisplayLimit{1000};
// Bounds on what a display or a file may make this process read.
constexpr std::size_t kWindowLimit = 8192;
constexpr std::size_t kEnvironLimit = 1 << 20;
constexpr int kCookieLimit = 1024;

std::string procPath(long pid, std::string_view leaf)
{
    return "/proc/" + std::to_string(pid) + "/" + std::string(leaf);
}

std::string_view baseName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

struct Environment {
    std::string display;
    std::string xauthority;
    std::string home;
};

// The variables of the program's environment that lead to its display;
// nothing when it may not be read (another user's program, for a user).
std::optional<Environment> environmentOf(long pid)
{
    const int fd = ::open(procPath(pid, "environ").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text(kEnvironLimit, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);

    Environment env;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\0'), rest.size());
        const std::string_view entry = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const auto take = [entry](std::string_view name, std::string& into) {
            if (entry.size() > name.size() && entry.substr(0, name.size()) == name && entry[name.size()] == '=')
                into = entry.substr(name.size() + 1);
        };
        take("DISPLAY", env.display);
        take("XAUTHORITY", env.xauthority);
        take("HOME", env.home);
    }
    return env;
}

// The display number of a DISPLAY such as ":0", ":1.0" or "unix:12".
std::string displayNumber(std::string_view display)
{
    const std::size_t colon = display.rfind(':');
    if (colon == std::string_view::npos)
        return {};
    std::string_view number = display.substr(colon + 1);
    return std::string(number.substr(0, number.find('.')));
}

struct Cookie {
    std::string name;
    std::string data;
};

// The MIT cookie for `display` from the program's authority file, read only
// when `owner` owns that file and it is an ordinary one.
std::optional<Cookie> cookieFor(const Environment& env, uid_t owner)
{
    std::string path = env.xauthority;
    if (path.empty() && !env.home.empty())
        path = env.home + "/.Xauthority";
    if (path.empty() || path.front() != '/')
        return std::nullopt;
    // Not blocking on a FIFO, not following a link at the end.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != owner) {
        ::close(fd);
        return std::nullopt;
    }
    FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        ::close(fd);
        return std::nullopt;
    }
    const std::string number = displayNumber(env.display);
    constexpr std::string_view kMitCookie = "MIT-MAGIC-COOKIE-1";
    std::optional<Cookie> found;
    for (int i = 0; i < kCookieLimit && !found; ++i) {
        Xauth* entry = ::XauReadAuth(file);
        if (entry == nullptr)
            break;
        const std::string_view entryNumber(entry->number, entry->number_length);
        const std::string_view entryName(entry->name, entry->name_length);
        if (entryNumber == number && entryName == kMitCookie)
            found = Cookie{std::string(entryName), std::string(entry->data, entry->data_length)};
        ::XauDisposeAuth(entry);
    }
    std::fclose(file);
    return found;
}

template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> owned(Reply* reply)
{
    return ReplyPtr<Reply>(reply, &std::free);
}

xcb_atom_t atom(xcb_connection_t* c, std::string_view name, bool onlyIfExists)
{
    const auto reply = owned(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, onlyIfExists ? 1 : 0, static_cast<std::uint16_t>(name.size()), name.data()), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The windows that may belong to a program: those at the top of each screen
// and, under a window manager, the ones it framed one level below.
std::vector<xcb_window_t> topLevelWindows(xcb_connection_t* c)
{
    std::vector<xcb_window_t> windows;
    std::vector<xcb_window_t> roots;
    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c)); it.rem > 0; xcb_screen_next(&it))
        roots.push_back(it.data->root);
    for (int depth = 0; depth < 2; ++depth) {
        std::vector<xcb_query_tree_cookie_t> asked;
        for (const xcb_window_t parent : roots)
            asked.push_back(xcb_query_tree(c, parent));
        std::vector<xcb_window_t> next;
        for (const xcb_query_tree_cookie_t cookie : asked) {
            const auto tree = owned(xcb_query_tree_reply(c, cookie, nullptr));
            if (!tree)
                continue;
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            const int count = xcb_query_tree_children_length(tree.get());
            for (int i = 0; i < count && windows.size() + next.size() < kWindowLimit; ++i)
                next.push_back(children[i]);
        }
        windows.insert(windows.end(), next.begin(), next.end());
        roots = std::move(next);
    }
    return windows;
}

// Sends the close request to every window of `pid`; returns how many.
int sendCloseRequests(const std::string& display, const std::optional<Cookie>& cookie, long pid)
{
    xcb_auth_info_t auth{};
    std::string name;
    std::string data;
    if (cookie) {
        name = cookie->name;
        data = cookie->data;
        auth.namelen = static_cast<int>(name.size());
        auth.name = name.data();
        auth.datalen = static_cast<int>(data.size());
        auth.data = data.data();
    }
    xcb_connection_t* c = xcb_connect_to_display_with_auth_info(display.c_str(), cookie ? &auth : nullptr, nullptr);
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(c, &xcb_disconnect);
    if (xcb_connection_has_error(c) != 0)
        return 0;
    const xcb_atom_t wmPid = atom(c, "_NET_WM_PID", true);
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS", false);
    const xcb_atom_t deleteWindow = atom(c, "WM_DELETE_WINDOW", false);
    if (wmPid == XCB_ATOM_NONE || protocols == XCB_ATOM_NONE || deleteWindow == XCB_ATOM_NONE)
        return 0;

    const std::vector<xcb_window_t> windows = topLevelWindows(c);
    std::vector<xcb_get_property_cookie_t> asked;
    asked.reserve(windows.size());
    for (const xcb_window_t window : windows)
        asked.push_back(xcb_get_property(c, 0, window, wmPid, XCB_ATOM_CARDINAL, 0, 1));
    int sent = 0;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const auto property = owned(xcb_get_property_reply(c, asked[i], nullptr));
        if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) != 4)
            continue;
        std::uint32_t owner = 0;
        std::memcpy(&owner, xcb_get_property_value(property.get()), sizeof owner);
        if (static_cast<long>(owner) != pid)
            continue;
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = windows[i];
        event.type = protocols;
        event.data.data32[0] = deleteWindow;
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(c, 0, windows[i], XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
        ++sent;
    }
    // A round trip: the requests have reached the server before the
    // connection goes.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return sent;
}

}  // namespace

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

CloseRequest askToClose(long pid)
{
    struct stat st {};
    if (::stat(procPath(pid, "").c_str(), &st) != 0)
        return CloseRequest::Gone;
    const std::optional<Environment> env = environmentOf(pid);
    if (!env)
        return errno == ESRCH || errno == ENOENT ? CloseRequest::Gone : CloseRequest::NotAllowed;
    if (env->display.empty())
        return CloseRequest::CannotBeAsked;
    const std::optional<Cookie> cookie = cookieFor(*env, st.st_uid);

    // The display is the program's, and may not answer at all: the exchange
    // runs on a thread of its own, left behind if it outlasts the limit.
    std::promise<int> promise;
    std::future<int> sent = promise.get_future();
    std::thread([display = env->display, cookie, pid, promise = std::move(promise)]() mutable {
        promise.set_value(sendCloseRequests(display, cookie, pid));
    }).detach();
    if (sent.wait_for(kDisplayLimit) != std::future_status::ready)
        return CloseRequest::CannotBeAsked;
    return sent.get() > 0 ? CloseRequest::Sent : CloseRequest::CannotBeAsked;
}

}  // namespace adv::platform::wine
