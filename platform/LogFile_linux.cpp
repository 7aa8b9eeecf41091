#include "platform/LogFile.h"

#include "platform/FilePermissions_linux.h"

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

LogFile::Opened LogFile::open(const std::filesystem::path& path)
{
    // The folder is opened once and everything after is judged on what was
    // opened: a name swapped meanwhile changes nothing.
    const std::string shown = path.string();
    const int folder = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return {nullptr, because("cannot open the folder of " + shown, errno)};
    const std::string name = path.filename().string();
    struct stat st {};
    const bool folderShared = ::fstat(folder, &st) != 0 || othersMayWrite(st);
    // A device can act on being opened, and a FIFO would hold the run: the
    // kind is known before anything opens the name.
    const bool named = ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const int fd = folderShared || (named && !S_ISREG(st.st_mode))
                       ? -1
                       : ::openat(folder, name.c_str(),
                                  O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    const int error = errno;
    ::close(folder);
    if (folderShared)
        return {nullptr, "others than its owner may write the folder of " + shown};
    if (fd < 0)
        return {nullptr, named && !S_ISREG(st.st_mode) ? shown + " is not an ordinary file"
                                                       : because("cannot open " + shown, error)};
    auto file = std::make_unique<LinuxLogFile>(fd);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || othersMayWrite(st))
        return {nullptr, "others than its owner may write " + shown + ", or it is not an ordinary file"};
    (void)::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    return {std::move(file), {}};
}

}  // namespace adv::platform
