// The installation's folder on Linux: one descriptor of it, and every name
// looked up relative to that descriptor with *at() calls.
#include "platform/InstallFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace adv::platform {
namespace {

ReplaceResult failed(std::string detail, int error)
{
    return {ReplaceStatus::Failed, std::move(detail) + ": " + std::strerror(error)};
}

void closeFd(int& fd) noexcept
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

class LinuxFolder final : public InstallFolder {
public:
    LinuxFolder(int fd, std::filesystem::path path) : folder_(fd), path_(std::move(path)) {}
    ~LinuxFolder() override
    {
        closeFd(open_);
        if (lock_ >= 0) {
            // Removed while still held: an updater that opened the file just
            // before finds it unlinked once it gets the lock, and tries again.
            (void)::unlinkat(folder_, lockName_.c_str(), 0);
            closeFd(lock_);
        }
        closeFd(folder_);
    }
    LinuxFolder(const LinuxFolder&) = delete;
    LinuxFolder& operator=(const LinuxFolder&) = delete;

    std::string shown(const std::string& name) const override { return (path_ / name).string(); }

    ReplaceResult lock(const std::string& name) override
    {
        lockName_ = name;
        // A few rounds: each one gets the lock, or clears away a leftover
        // that cannot be a lock (a link, an empty folder), or loses a race
        // with an updater that just let go.
        for (int round = 0; round < 4; ++round) {
            const int fd = ::openat(folder_, name.c_str(),
                                    O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
            if (fd < 0) {
                const int error = errno;
                if (error == ELOOP) {  // a link: removing it touches only the link
                    (void)::unlinkat(folder_, name.c_str(), 0);
                    continue;
                }
                if (error == EISDIR) {
                    if (::unlinkat(folder_, name.c_str(), AT_REMOVEDIR) == 0)
                        continue;
                    return {ReplaceStatus::Failed,
                            "the lock " + shown(name) + " is a folder that is not empty; remove it"};
                }
                return failed("cannot create the lock file " + shown(name), error);
            }
            struct stat held {};
            if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
                ::close(fd);
                (void)::unlinkat(folder_, name.c_str(), 0);
                continue;
            }
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                const int error = errno;
                ::close(fd);
                if (error == EWOULDBLOCK)
                    return {ReplaceStatus::Busy, "another update of " + shown(name) + " is in progress"};
                return failed("cannot lock " + shown(name), error);
            }
            // The holder before us may have removed the file after we opened it.
            struct stat named {};
            if (::fstatat(folder_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(held, named)) {
                ::close(fd);
                continue;
            }
            lock_ = fd;
            return {};
        }
        return {ReplaceStatus::Failed, "cannot take the lock " + shown(name)};
    }

    Entry entry(const std::string& name) override
    {
        struct stat st {};
        if (::fstatat(folder_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return {errno == ENOENT ? EntryKind::Missing : EntryKind::Other};
        if (!S_ISREG(st.st_mode))
            return {EntryKind::Other};
        return {EntryKind::File, static_cast<std::uint64_t>(st.st_ino), static_cast<std::int64_t>(st.st_size),
                static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }

    std::vector<std::string> names() override
    {
        std::vector<std::string> out;
        const int copy = ::dup(folder_);
        DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy);
        if (dir == nullptr) {
            if (copy >= 0)
                ::close(copy);
            return out;
        }
        ::rewinddir(dir);
        while (const dirent* e = ::readdir(dir))
            out.emplace_back(e->d_name);
        ::closedir(dir);
        return out;
    }

    // The file has no name until it is sealed whole: a run that ends in any
    // way meanwhile (killed, its display gone) leaves nothing behind. File
    // systems without unnamed files get it named at once.
    ReplaceResult create(const std::string& name) override
    {
        closeFd(open_);
        unnamed_.clear();
        open_ = ::openat(folder_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (open_ >= 0) {
            unnamed_ = name;
            return {};
        }
        open_ = ::openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (open_ < 0)
            return failed("cannot write beside " + path_.string() + " (" + name + ")", errno);
        return {};
    }

    // A download a cut run left is gone on with only when it is this
    // updater's own: a file another user could write would have their bytes
    // hashed and installed, a link or second name would have ours written
    // into a file elsewhere. Only an ordinary file is ever opened (a FIFO
    // swapped in meanwhile does not block), and the open file is what is
    // judged. Nothing is removed here.
    ReplaceResult reopen(const std::string& name, std::int64_t maxSize, std::int64_t& size) override
    {
        closeFd(open_);
        unnamed_.clear();
        size = 0;
        struct stat st {};
        if (::fstatat(folder_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            open_ = ::openat(folder_, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (open_ >= 0 && ::fstat(open_, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
            st.st_uid == ::geteuid() && st.st_size <= maxSize && ::lseek(open_, st.st_size, SEEK_SET) == st.st_size) {
            size = static_cast<std::int64_t>(st.st_size);
            return {};
        }
        closeFd(open_);
        return {ReplaceStatus::Failed, shown(name) + " is no download of this updater's to go on with"};
    }

    ReplaceResult write(const char* data, std::size_t size) override
    {
        if (open_ < 0 || !writeAll(open_, data, size))
            return failed("cannot write in " + path_.string(), open_ < 0 ? EBADF : errno);
        return {};
    }

    ReplaceResult seal(const std::string& model) override
    {
        // The installed program keeps its owner and exact mode bits: it must
        // not become the property of whoever ran the update. Changing the
        // owner needs privileges unless nothing changes; the mode applies
        // either way. Without a model, the file is everyone's to read.
        struct stat st {};
        mode_t mode = 0644;
        if (::fstatat(folder_, model.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            (void)::fchown(open_, st.st_uid, st.st_gid);
            mode = st.st_mode & 07777;
        }
        if (::fchmod(open_, mode) != 0)
            return failed("cannot set the mode of a new file in " + path_.string(), errno);
        if (::fsync(open_) != 0)
            return failed("cannot write a new file in " + path_.string() + " to disk", errno);
        if (!unnamed_.empty() && !giveName(std::exchange(unnamed_, {})))
            return failed("cannot name a new file in " + path_.string(), errno);
        if (::close(std::exchange(open_, -1)) != 0)
            return failed("cannot write a new file in " + path_.string() + " to disk", errno);
        return {};
    }

    void discard() noexcept override { closeFd(open_); }

    ReplaceResult read(const std::string& name, std::int64_t offset, char* buffer, std::size_t size,
                       std::size_t& got) override
    {
        got = 0;
        const int fd = ::openat(folder_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return failed("cannot read " + shown(name), errno);
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return {ReplaceStatus::Failed, shown(name) + " is not an ordinary file"};
        }
        while (got < size) {
            const ssize_t n =
                ::pread(fd, buffer + got, size - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const int error = errno;
                ::close(fd);
                return failed("cannot read " + shown(name), error);
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        ::close(fd);
        return {};
    }

    ReplaceResult link(const std::string& from, const std::string& to) override
    {
        if (::linkat(folder_, from.c_str(), folder_, to.c_str(), 0) == 0)
            return {};
        if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP || errno == EMLINK)
            return {ReplaceStatus::Unsupported, "the file system cannot give " + shown(from) + " a second name"};
        return failed("cannot keep " + shown(from) + " as " + to, errno);
    }

    ReplaceResult renameOver(const std::string& from, const std::string& to) override
    {
        if (::renameat(folder_, from.c_str(), folder_, to.c_str()) != 0)
            return failed("cannot rename " + shown(from) + " to " + to, errno);
        return {};
    }

    ReplaceResult exchange(const std::string& a, const std::string& b) override
    {
        if (::renameat2(folder_, a.c_str(), folder_, b.c_str(), RENAME_EXCHANGE) == 0)
            return {};
        if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)
            return {ReplaceStatus::Unsupported, "the file system cannot swap " + shown(a) + " and " + b};
        return failed("cannot swap " + shown(a) + " and " + b, errno);
    }

    ReplaceResult remove(const std::string& name) override
    {
        if (::unlinkat(folder_, name.c_str(), 0) != 0 && errno != ENOENT)
            return failed("cannot remove " + shown(name), errno);
        return {};
    }

    ReplaceResult sync() override
    {
        if (::fsync(folder_) != 0)
            return failed("cannot write the folder " + path_.string() + " to disk", errno);
        return {};
    }

private:
    bool giveName(const std::string& name)
    {
        // Without the privilege that linking by descriptor needs, through /proc.
        if (::linkat(open_, "", folder_, name.c_str(), AT_EMPTY_PATH) == 0)
            return true;
        const std::string self = "/proc/self/fd/" + std::to_string(open_);
        return ::linkat(AT_FDCWD, self.c_str(), folder_, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
    }

    int folder_ = -1;
    int lock_ = -1;
    int open_ = -1;
    std::string unnamed_;  // the name the open file takes when sealed
    std::string lockName_;
    std::filesystem::path path_;
};

}  // namespace

OpenedFolder openInstallFolder(const std::filesystem::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return {nullptr, failed("cannot open the folder " + path.string(), errno)};
    return {std::make_unique<LinuxFolder>(fd, path), {}};
}

}  // namespace adv::platform
