// Which processes run a file, on Linux: the kernel follows /proc/PID/exe to
// the image a process executes, and /proc/PID/maps lists, by device and
// inode, every file it has mapped. A Windows program under Wine is executed
// by Wine's loader and only mapped, so the maps are what find it.
#include "platform/RunningFile.h"

#include "platform/ProcFiles_linux.h"
#include "platform/Strings.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adv::platform {
namespace {

// A program under Wine has maps of a few hundred KiB; what lies past this
// bound is not read, and does not count.
constexpr std::size_t kMapsBound = std::size_t{4} << 20;

struct Identity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool of(const struct stat& st) const { return st.st_dev == dev && st.st_ino == ino; }
};

// The next field of a maps line, which the kernel separates by spaces.
std::string_view nextField(std::string_view& line)
{
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find(' '), line.size());
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return field;
}

template <typename Number>
bool parsed(std::string_view text, Number& value, int base)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// One line, "start-end perms offset major:minor inode path": whether it maps
// the file. The kernel writes the device as its own numbers, which for some
// file systems (btrfs subvolumes, overlays) are not those stat() gives; a
// mapping of the same inode on another device is then followed through
// map_files to the file itself, where this process may.
bool mapsFile(long pid, std::string_view line, const Identity& file)
{
    const std::string_view range = nextField(line);
    nextField(line);  // perms
    nextField(line);  // offset
    const std::string_view device = nextField(line);
    unsigned long inode = 0;
    if (!parsed(nextField(line), inode, 10) || inode != file.ino)
        return false;
    const std::size_t colon = device.find(':');
    unsigned int major = 0, minor = 0;
    if (colon != std::string_view::npos && parsed(device.substr(0, colon), major, 16) &&
        parsed(device.substr(colon + 1), minor, 16) && makedev(major, minor) == file.dev)
        return true;
    struct stat mapped {};
    return ::stat(procPath(pid, "map_files/" + std::string(range)).c_str(), &mapped) == 0 && file.of(mapped);
}

bool mapsFile(long pid, const Identity& file)
{
    const std::optional<std::string> maps = readProc(pid, "maps", kMapsBound);
    if (!maps)
        return false;
    std::vector<std::string_view> lines = split(*maps, '\n');
    lines.pop_back();  // after the last line end: nothing, or a line cut at the bound
    return std::any_of(lines.begin(), lines.end(), [&](std::string_view line) { return mapsFile(pid, line, file); });
}

}  // namespace

std::vector<long> processesRunningFile(const std::filesystem::path& file, std::span<const long> pids)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const Identity identity{st.st_dev, st.st_ino};
    std::vector<long> running;
    for (const long pid : pids) {
        // Any user may map a file everyone may read: only what runs as the
        // administrator or as the program's owner holds it back. A stranger's
        // program goes on with its old file after the replacement.
        struct stat process {};
        if (pid <= 0 || ::stat(procPath(pid, "").c_str(), &process) != 0 ||
            (process.st_uid != 0 && process.st_uid != st.st_uid))
            continue;
        struct stat image {};
        const bool runs = ::stat(procPath(pid, "exe").c_str(), &image) == 0 && identity.of(image);
        if (runs || mapsFile(pid, identity))
            running.push_back(pid);
    }
    return running;
}

}  // namespace adv::platform
