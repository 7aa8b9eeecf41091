// Replacing a file on Linux. Everything is done relative to one descriptor of
// the target's folder, so the folder the lock, the temporary file and the
// rename act on is the one that was opened, whatever happens to the path.
#include "platform/FileReplacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string_view>
#include <utility>

namespace adv::platform {
namespace {

std::string why(int error)
{
    return std::strerror(error);
}

ReplaceResult failed(std::string detail)
{
    return {ReplaceStatus::Failed, std::move(detail)};
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

// A name no other updater or program will pick, hidden from a plain `ls`.
std::string temporaryName(const std::string& base)
{
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
    std::string name = "." + base + ".new-";
    for (int i = 0; i < 8; ++i)
        name += kAlphabet[pick(random)];
    return name;
}

// Temporary files of updaters that were killed before they could clean up.
// Called with the lock held, so no other updater is writing one now.
void removeLeftovers(int folder, const std::string& base)
{
    const std::string prefix = "." + base + ".new-";
    const int copy = ::dup(folder);
    if (copy < 0)
        return;
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        ::close(copy);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (std::string_view(entry->d_name).substr(0, prefix.size()) == prefix)
            (void)::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(dir);
}

}  // namespace

struct FileReplacement::Handles {
    int folder = -1;
    int lock = -1;
    int temporary = -1;
    std::string name;  // the target's name in `folder`
    std::string lockName;
    std::string temporaryName;  // empty once renamed or removed

    ~Handles()
    {
        if (temporary >= 0 || !temporaryName.empty()) {
            closeFd(temporary);
            (void)::unlinkat(folder, temporaryName.c_str(), 0);
        }
        if (lock >= 0) {
            // Removed while still held: an updater that opened the file just
            // before finds it unlinked once it gets the lock, and tries again.
            (void)::unlinkat(folder, lockName.c_str(), 0);
            closeFd(lock);
        }
        closeFd(folder);
    }
};

FileReplacement::FileReplacement(std::filesystem::path target) : target_(std::move(target))
{
}

FileReplacement::~FileReplacement() = default;

void FileReplacement::abandon() noexcept
{
    handles_.reset();
    written_ = 0;
}

ReplaceResult FileReplacement::begin()
{
    abandon();
    auto h = std::make_unique<Handles>();
    h->name = target_.filename().string();
    h->lockName = h->name + ".lock";
    const std::string folder = target_.parent_path().string();
    const std::string shown = target_.string();

    h->folder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (h->folder < 0)
        return failed("cannot open the folder " + folder + ": " + why(errno));

    // A few rounds: each one either gets the lock or clears away a leftover
    // that cannot be a lock (a link, an empty folder) or loses a race with an
    // updater that just let go.
    for (int round = 0; round < 4 && h->lock < 0; ++round) {
        const int fd = ::openat(h->folder, h->lockName.c_str(),
                                O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0) {
            const int error = errno;
            if (error == ELOOP) {  // a link: removing it touches only the link
                (void)::unlinkat(h->folder, h->lockName.c_str(), 0);
                continue;
            }
            if (error == EISDIR) {
                if (::unlinkat(h->folder, h->lockName.c_str(), AT_REMOVEDIR) == 0)
                    continue;
                return failed("the lock " + shown + ".lock is a folder that is not empty; remove it");
            }
            return failed("cannot create the lock file " + shown + ".lock: " + why(error));
        }
        struct stat held {};
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            ::close(fd);
            (void)::unlinkat(h->folder, h->lockName.c_str(), 0);
            continue;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK)
                return {ReplaceStatus::Busy, "another update of " + shown + " is in progress"};
            return failed("cannot lock " + shown + ".lock: " + why(error));
        }
        // The holder before us may have removed the file after we opened it.
        struct stat named {};
        if (::fstatat(h->folder, h->lockName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(held, named)) {
            ::close(fd);
            continue;
        }
        h->lock = fd;
    }
    if (h->lock < 0)
        return failed("cannot take the lock " + shown + ".lock");
    removeLeftovers(h->folder, h->name);

    for (int round = 0; round < 8 && h->temporary < 0; ++round) {
        h->temporaryName = temporaryName(h->name);
        h->temporary = ::openat(h->folder, h->temporaryName.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (h->temporary < 0 && errno != EEXIST) {
            const int error = errno;
            h->temporaryName.clear();
            return failed("cannot write beside " + shown + ": " + why(error));
        }
    }
    if (h->temporary < 0) {
        h->temporaryName.clear();
        return failed("cannot find a free temporary name beside " + shown);
    }
    handles_ = std::move(h);
    return {};
}

ReplaceResult FileReplacement::write(const char* data, std::size_t size)
{
    if (!handles_ || handles_->temporary < 0)
        return failed("no replacement of " + target_.string() + " is under way");
    while (size > 0) {
        const ssize_t n = ::write(handles_->temporary, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failed("cannot write the temporary file beside " + target_.string() + ": " +
                          why(n < 0 ? errno : ENOSPC));
        data += n;
        size -= static_cast<std::size_t>(n);
        written_ += n;
    }
    return {};
}

ReplaceResult FileReplacement::commit()
{
    if (!handles_ || handles_->temporary < 0)
        return failed("no replacement of " + target_.string() + " is under way");
    Handles& h = *handles_;
    const std::string shown = target_.string();

    // The installed program keeps its owner and exact mode bits: it must not
    // become the property of whoever ran the update. Changing the owner needs
    // privileges unless nothing changes; the mode applies either way.
    struct stat installed {};
    if (::fstatat(h.folder, h.name.c_str(), &installed, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(installed.st_mode)) {
        (void)::fchown(h.temporary, installed.st_uid, installed.st_gid);
        if (::fchmod(h.temporary, installed.st_mode & 07777) != 0)
            return failed("cannot set the mode of the new " + shown + ": " + why(errno));
    }
    if (::fsync(h.temporary) != 0)
        return failed("cannot write the new " + shown + " to disk: " + why(errno));
    if (::close(std::exchange(h.temporary, -1)) != 0)
        return failed("cannot write the new " + shown + " to disk: " + why(errno));
    if (::renameat(h.folder, h.temporaryName.c_str(), h.folder, h.name.c_str()) != 0)
        return failed("cannot replace " + shown + ": " + why(errno));
    h.temporaryName.clear();
    // Without this a crash right after the update could bring back the old
    // directory entry.
    (void)::fsync(h.folder);
    handles_.reset();
    return {};
}

}  // namespace adv::platform
