#include "platform/LogFile.h"

#include "platform/FilePermissions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace adv::platform {
namespace {

class LinuxLogFile final : public LogFile {
public:
    explicit LinuxLogFile(int fd) : fd_(fd) {}
    ~LinuxLogFile() override { ::close(fd_); }
    LinuxLogFile(const LinuxLogFile&) = delete;
    LinuxLogFile& operator=(const LinuxLogFile&) = delete;

    std::int64_t size() const override
    {
        struct stat st {};
        return ::fstat(fd_, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
    }

    bool write(std::string_view bytes) override
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

private:
    int fd_;
};

std::string because(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

}  // namespace

std::unique_ptr<LogFile> LogFile::open(const std::filesystem::path& path, std::string& why)
{
    // A device can act on being opened, and a FIFO would hold the run: the
    // kind is known before anything opens the name.
    struct stat before {};
    if (::lstat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode)) {
        why = path.string() + " is not an ordinary file";
        return nullptr;
    }
    if (othersMayWrite(path.parent_path())) {
        why = "others than its owner may write the folder " + path.parent_path().string();
        return nullptr;
    }
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = because("cannot open " + path.string(), errno);
        return nullptr;
    }
    auto file = std::make_unique<LinuxLogFile>(fd);
    // What was looked at may have been swapped meanwhile: the open file
    // itself must be an ordinary one, and nobody else's to change.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = path.string() + " is not an ordinary file";
        return nullptr;
    }
    if (othersMayWrite(path)) {
        why = "others than its owner may write " + path.string();
        return nullptr;
    }
    (void)::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    return file;
}

}  // namespace adv::platform
