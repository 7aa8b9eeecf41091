// The X side of asking a Wine program to close, run in the asker as the
// program's owner: the owner's cookie, the windows marked with the
// program's pid, and the close request sent to each. Every reply is read
// within its stated length.
#include "platform/XCloseRequest_linux.h"

#include "platform/WineWindows_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace adv::platform::wine {
namespace {

// Bounds on what a display or a file may make the asker read.
constexpr std::size_t kWindowLimit = 8192;
constexpr std::size_t kCookieFileLimit = 1 << 16;

std::uint16_t bigEndian16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// The display number of a DISPLAY such as ":0", ":1.0" or "127.0.0.1:12".
std::string_view displayNumber(std::string_view display)
{
    const std::size_t colon = display.rfind(':');
    if (colon == std::string_view::npos)
        return {};
    const std::string_view number = display.substr(colon + 1);
    return number.substr(0, number.find('.'));
}

struct Cookie {
    std::string name;
    std::string data;
};

// The MIT cookie for the display from the owner's authority file: an ordinary
// file it owns, looked at before it is opened (a device may act on open, a
// FIFO may never be written), and the same file once open.
std::optional<Cookie> cookieFor(const XTarget& plan)
{
    const std::string& path = plan.xauthority;
    struct stat seen {};
    if (path.empty() || path.front() != '/' || ::lstat(path.c_str(), &seen) != 0 || !S_ISREG(seen.st_mode) ||
        seen.st_uid != plan.uid)
        return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    struct stat opened {};
    std::string text(kCookieFileLimit, '\0');
    ssize_t got = -1;
    if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_dev == seen.st_dev &&
        opened.st_ino == seen.st_ino)
        got = ::read(fd, text.data(), text.size());
    ::close(fd);
    if (got <= 0)
        return std::nullopt;

    // Entries of a family and four counted fields, all big-endian.
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::uint8_t* const end = p + got;
    const std::string_view number = displayNumber(plan.display);
    while (end - p >= 2) {
        p += 2;                                  // the family
        std::array<std::string_view, 4> fields;  // address, number, name, data
        for (std::string_view& field : fields) {
            if (end - p < 2 || end - p - 2 < bigEndian16(p))
                return std::nullopt;
            field = std::string_view(reinterpret_cast<const char*>(p + 2), bigEndian16(p));
            p += 2 + field.size();
        }
        if (fields[1] == number && fields[2] == "MIT-MAGIC-COOKIE-1")
            return Cookie{std::string(fields[2]), std::string(fields[3])};
    }
    return std::nullopt;
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
std::vector<xcb_window_t> topLevelWindows(xcb_connection_t* c, std::vector<xcb_window_t> roots)
{
    std::vector<xcb_window_t> windows;
    for (int depth = 0; depth < 2; ++depth) {
        std::vector<xcb_query_tree_cookie_t> asked;
        for (const xcb_window_t parent : roots)
            asked.push_back(xcb_query_tree(c, parent));
        std::vector<xcb_window_t> next;
        for (const xcb_query_tree_cookie_t cookie : asked) {
            const auto tree = owned(xcb_query_tree_reply(c, cookie, nullptr));
            // The count is the server's word; the reply's length is what came.
            if (!tree || tree->children_len > tree->length)
                continue;
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            for (int i = 0; i < tree->children_len && windows.size() + next.size() < kWindowLimit; ++i)
                next.push_back(children[i]);
        }
        windows.insert(windows.end(), next.begin(), next.end());
        roots = std::move(next);
    }
    return windows;
}

}  // namespace

// Sends the close request to every window marked with `windowPid`; returns how many.
int sendCloseRequests(const XTarget& plan)
{
    // Always an explicit cookie, an empty one when the program has none:
    // given none, libxcb would look for one in this process's XAUTHORITY or
    // HOME, which are the updater's.
    xcb_auth_info_t auth{};
    std::string name;
    std::string data;
    if (const std::optional<Cookie> cookie = cookieFor(plan)) {
        name = cookie->name;
        data = cookie->data;
        auth.namelen = static_cast<int>(name.size());
        auth.name = name.data();
        auth.datalen = static_cast<int>(data.size());
        auth.data = data.data();
    }
    xcb_connection_t* c = xcb_connect_to_display_with_auth_info(plan.display.c_str(), &auth, nullptr);
    const std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(c, &xcb_disconnect);
    if (xcb_connection_has_error(c) != 0)
        return 0;
    // libxcb took in as many bytes as the setup's length field says, and
    // trusts the rest of it: the screens are read here, within that length.
    const xcb_setup_t* setup = xcb_get_setup(c);
    const std::optional<std::vector<std::uint32_t>> roots = rootWindows(
        std::span(reinterpret_cast<const std::uint8_t*>(setup), 8 + 4 * static_cast<std::size_t>(setup->length)));
    if (!roots)
        return 0;
    const xcb_atom_t wmPid = atom(c, "_NET_WM_PID", true);
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS", false);
    const xcb_atom_t deleteWindow = atom(c, "WM_DELETE_WINDOW", false);
    if (wmPid == XCB_ATOM_NONE || protocols == XCB_ATOM_NONE || deleteWindow == XCB_ATOM_NONE)
        return 0;

    const std::vector<xcb_window_t> windows = topLevelWindows(c, *roots);
    std::vector<xcb_get_property_cookie_t> asked;
    asked.reserve(windows.size());
    for (const xcb_window_t window : windows)
        asked.push_back(xcb_get_property(c, 0, window, wmPid, XCB_ATOM_CARDINAL, 0, 1));
    int sent = 0;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const auto property = owned(xcb_get_property_reply(c, asked[i], nullptr));
        if (!property || property->format != 32 || property->value_len != 1 || property->length < 1)
            continue;
        std::uint32_t owner = 0;
        std::memcpy(&owner, xcb_get_property_value(property.get()), sizeof owner);
        if (static_cast<long>(owner) != plan.windowPid)
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

}  // namespace adv::platform::wine
