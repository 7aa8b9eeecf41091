#include "platform/ProcFiles_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace adv::platform {

std::string procPath(long pid, std::string_view leaf)
{
    return "/proc/" + std::to_string(pid) + "/" + std::string(leaf);
}

long readProcFile(int at, const char* path, char* buf, std::size_t cap, Reads reads)
{
    const int fd = ::openat(at, path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    std::size_t got = 0;
    while (got < cap) {
        const ssize_t n = ::read(fd, buf + got, cap - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
        if (reads == Reads::Once)
            break;
    }
    ::close(fd);
    return static_cast<long>(got);
}

std::optional<std::string> readProc(long pid, std::string_view leaf, std::size_t limit)
{
    // Not filled first: a bound of some MiB costs only the pages read.
    const auto buf = std::make_unique_for_overwrite<char[]>(limit);
    const long got = readProcFile(AT_FDCWD, procPath(pid, leaf).c_str(), buf.get(), limit, Reads::UntilEnd);
    if (got < 0)
        return std::nullopt;
    return std::string(buf.get(), static_cast<std::size_t>(got));
}

}  // namespace adv::platform
