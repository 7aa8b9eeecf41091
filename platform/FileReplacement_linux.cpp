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

namespace {

// Opens the target's folder and takes the target's lock in it.
ReplaceResult lockFolder(FileReplacement::Handles& h, const std::filesystem::path& target)
{
    h.name = target.filename().string();
    h.lockName = h.name + ".lock";
    const std::string folder = target.parent_path().string();
    const std::string shown = target.string();

    h.folder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (h.folder < 0)
        return failed("cannot open the folder " + folder + ": " + why(errno));

    // A few rounds: each one either gets the lock or clears away a leftover
    // that cannot be a lock (a link, an empty folder) or loses a race with an
    // updater that just let go.
    for (int round = 0; round < 4 && h.lock < 0; ++round) {
        const int fd = ::openat(h.folder, h.lockName.c_str(),
                                O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0) {
            const int error = errno;
            if (error == ELOOP) {  // a link: removing it touches only the link
                (void)::unlinkat(h.folder, h.lockName.c_str(), 0);
                continue;
            }
            if (error == EISDIR) {
                if (::unlinkat(h.folder, h.lockName.c_str(), AT_REMOVEDIR) == 0)
                    continue;
                return failed("the lock " + shown + ".lock is a folder that is not empty; remove it");
            }
            return failed("cannot create the lock file " + shown + ".lock: " + why(error));
        }
        struct stat held {};
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            ::close(fd);
            (void)::unlinkat(h.folder, h.lockName.c_str(), 0);
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
        if (::fstatat(h.folder, h.lockName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(held, named)) {
            ::close(fd);
            continue;
        }
        h.lock = fd;
    }
    if (h.lock < 0)
        return failed("cannot take the lock " + shown + ".lock");
    removeLeftovers(h.folder, h.name);
    return {};
}

// A new temporary file beside the target, open for writing.
int createTemporary(int folder, const std::string& base, std::string& name)
{
    for (int round = 0; round < 8; ++round) {
        name = temporaryName(base);
        const int fd =
            ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0)
                name.clear();
            return fd;
        }
    }
    name.clear();
    errno = EEXIST;
    return -1;
}

enum class Kind { Missing, File, Other };

Kind kindOf(int folder, const std::string& name, struct stat* out = nullptr)
{
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Kind::Missing : Kind::Other;
    if (out != nullptr)
        *out = st;
    return S_ISREG(st.st_mode) ? Kind::File : Kind::Other;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// A copy of `from` under a new temporary name, on disk, with its mode: for
// file systems that cannot link.
bool copyToTemporary(int folder, const std::string& from, const std::string& base, std::string& temporary)
{
    const int in = ::openat(folder, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = createTemporary(folder, base, temporary);
    bool ok = out >= 0;
    char buffer[64 * 1024];
    while (ok) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = writeAll(out, buffer, static_cast<std::size_t>(n));
    }
    struct stat st {};
    ok = ok && ::fstat(in, &st) == 0;
    if (ok) {
        (void)::fchown(out, st.st_uid, st.st_gid);
        ok = ::fchmod(out, st.st_mode & 07777) == 0 && ::fsync(out) == 0;
    }
    ::close(in);
    if (out >= 0 && ::close(out) != 0)
        ok = false;
    if (!ok && !temporary.empty()) {
        (void)::unlinkat(folder, temporary.c_str(), 0);
        temporary.clear();
    }
    return ok;
}

// Makes `to` a second name of the file `from` (a copy where the file system
// cannot link), replacing whatever `to` was in one rename.
ReplaceResult keepAs(int folder, const std::string& from, const std::string& to, const std::string& base)
{
    std::string temporary = temporaryName(base);
    if (::linkat(folder, from.c_str(), folder, temporary.c_str(), 0) != 0) {
        const int error = errno;
        temporary.clear();
        if (error == ENOENT || !copyToTemporary(folder, from, base, temporary))
            return failed("cannot keep " + from + " as " + to + ": " + why(error == ENOENT ? ENOENT : errno));
    }
    if (::renameat(folder, temporary.c_str(), folder, to.c_str()) != 0) {
        const int error = errno;
        (void)::unlinkat(folder, temporary.c_str(), 0);
        return failed("cannot keep " + from + " as " + to + ": " + why(error));
    }
    return {};
}

// Writes `contents` as `name`, whole or not at all.
bool writeFileAs(int folder, const std::string& name, const std::string& base, const std::string& contents)
{
    std::string temporary;
    const int fd = createTemporary(folder, base, temporary);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, contents.data(), contents.size()) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::renameat(folder, temporary.c_str(), folder, name.c_str()) == 0;
    if (!ok)
        (void)::unlinkat(folder, temporary.c_str(), 0);
    return ok;
}

// Exchanges two names in one step; where the file system cannot, in three
// renames that never leave `a` missing.
bool exchange(int folder, const std::string& a, const std::string& b, const std::string& base)
{
    if (::renameat2(folder, a.c_str(), folder, b.c_str(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return false;
    std::string temporary = temporaryName(base);
    if (::linkat(folder, a.c_str(), folder, temporary.c_str(), 0) != 0) {
        temporary.clear();
        if (!copyToTemporary(folder, a, base, temporary))
            return false;
    }
    if (::renameat(folder, b.c_str(), folder, a.c_str()) != 0) {
        (void)::unlinkat(folder, temporary.c_str(), 0);
        return false;
    }
    return ::renameat(folder, temporary.c_str(), folder, b.c_str()) == 0;
}

}  // namespace

ReplaceResult FileReplacement::begin()
{
    abandon();
    auto h = std::make_unique<Handles>();
    if (ReplaceResult locked = lockFolder(*h, target_); !locked)
        return locked;
    h->temporary = createTemporary(h->folder, h->name, h->temporaryName);
    if (h->temporary < 0)
        return failed("cannot write beside " + target_.string() + ": " + why(errno));
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

ReplaceResult FileReplacement::commit(const std::optional<std::string>& signature)
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

    // The installed file stays as .prev (a second name, so the installed
    // name keeps it until the rename below), its signature with it.
    const std::string signatureName = h.name + ".minisig";
    if (kindOf(h.folder, h.name) == Kind::File) {
        const std::string previousSignature = h.name + ".prev.minisig";
        if (kindOf(h.folder, signatureName) == Kind::File) {
            if (ReplaceResult kept = keepAs(h.folder, signatureName, previousSignature, h.name); !kept)
                return kept;
        } else if (::unlinkat(h.folder, previousSignature.c_str(), 0) != 0 && errno != ENOENT) {
            return failed("cannot remove the old " + previousSignature + ": " + why(errno));
        }
        if (ReplaceResult kept = keepAs(h.folder, h.name, h.name + ".prev", h.name); !kept)
            return kept;
    }
    if (::renameat(h.folder, h.temporaryName.c_str(), h.folder, h.name.c_str()) != 0)
        return failed("cannot replace " + shown + ": " + why(errno));
    h.temporaryName.clear();

    // After the file: a crash in between leaves the previous release's
    // signature beside the new file, which never blocks a later update.
    if (signature)
        (void)writeFileAs(h.folder, signatureName, h.name, *signature);
    else
        (void)::unlinkat(h.folder, signatureName.c_str(), 0);

    // Without this a crash right after the update could bring back the old
    // directory entries.
    (void)::fsync(h.folder);
    handles_.reset();
    return {};
}

ReplaceResult FileReplacement::rollBack(const std::filesystem::path& target)
{
    Handles h;
    if (ReplaceResult locked = lockFolder(h, target); !locked)
        return locked;
    const std::string previous = h.name + ".prev";
    if (kindOf(h.folder, previous) != Kind::File)
        return {ReplaceStatus::NothingKept, "no previous " + target.string() + " is kept"};

    const std::string shown = target.string();
    switch (kindOf(h.folder, h.name)) {
    case Kind::File:
        if (!exchange(h.folder, h.name, previous, h.name))
            return failed("cannot swap " + shown + " and " + shown + ".prev: " + why(errno));
        break;
    case Kind::Missing:
        if (::renameat(h.folder, previous.c_str(), h.folder, h.name.c_str()) != 0)
            return failed("cannot put back " + shown + ".prev: " + why(errno));
        break;
    case Kind::Other: return failed(shown + " is not an ordinary file");
    }

    // Each signature goes with its file.
    const std::string signature = h.name + ".minisig";
    const std::string previousSignature = previous + ".minisig";
    const bool current = kindOf(h.folder, signature) == Kind::File;
    const bool kept = kindOf(h.folder, previousSignature) == Kind::File;
    if (current && kept)
        (void)exchange(h.folder, signature, previousSignature, h.name);
    else if (current)
        (void)::renameat(h.folder, signature.c_str(), h.folder, previousSignature.c_str());
    else if (kept)
        (void)::renameat(h.folder, previousSignature.c_str(), h.folder, signature.c_str());
    (void)::fsync(h.folder);
    return {};
}

}  // namespace adv::platform
