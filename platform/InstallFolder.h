// What an installation's folder offers the install transaction: a handful of
// file operations, each relative to the folder as it was opened, whatever
// later happens to its path. One implementation per OS
// (InstallFolder_linux.cpp, InstallFolder_win.cpp); the policy over them is
// FileReplacement.cpp, written once. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace adv::platform {

enum class FolderStatus {
    Ok,
    Busy,         // another updater holds the lock
    Failed,       // detail says why
    Unsupported,  // the file system has no such operation; nothing was done
};

struct FolderResult {
    FolderStatus status = FolderStatus::Ok;
    std::string detail;  // English, for stderr

    explicit operator bool() const { return status == FolderStatus::Ok; }
};

enum class EntryKind { Missing, File, Other };

// A name as it stands, never followed through a link. The file's number in
// its file system, size and time of change (the OS's own ticks) tell one
// file from another: a rename or a second name keeps all three.
struct Entry {
    EntryKind kind = EntryKind::Missing;
    std::uint64_t id = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0;
};

class InstallFolder {
public:
    virtual ~InstallFolder() = default;

    // `name`'s full path, for messages.
    virtual std::string shown(const std::string& name) const = 0;

    // Takes the lock `name` against every other updater, held until this
    // object goes. The kernel holds it on an open file, so it goes with the
    // process however that ends; a leftover file never blocks.
    virtual FolderResult lock(const std::string& name) = 0;

    virtual Entry entry(const std::string& name) = 0;
    virtual std::vector<std::string> names() = 0;

    // A new file, which must not exist yet, open for writing until sealed:
    // one such file at a time.
    virtual FolderResult create(const std::string& name) = 0;
    virtual FolderResult write(const char* data, std::size_t size) = 0;
    // Gives the open file the owner and mode of `model` where that is a file,
    // writes it to disk and closes it.
    virtual FolderResult seal(const std::string& model) = 0;
    // Closes the open file as it is; the caller removes it.
    virtual void discard() noexcept = 0;

    // Up to `size` bytes of the ordinary file `name` from `offset`: a link,
    // a folder or a FIFO there is an error, and never blocks.
    virtual FolderResult read(const std::string& name, std::int64_t offset, char* buffer, std::size_t size,
                              std::size_t& got) = 0;

    // `to` (which must not exist) becomes a second name of the file `from`;
    // Unsupported where the file system has no links, and the transaction
    // then keeps a copy.
    virtual FolderResult link(const std::string& from, const std::string& to) = 0;
    // `from` takes the place of `to` in one step.
    virtual FolderResult renameOver(const std::string& from, const std::string& to) = 0;
    // The two files trade names in one step; Unsupported where the file
    // system cannot, and the transaction then does it in three.
    virtual FolderResult exchange(const std::string& a, const std::string& b) = 0;
    virtual FolderResult remove(const std::string& name) = 0;
    // The folder's entries, as they now are, to disk.
    virtual FolderResult sync() = 0;
};

// Opens the folder at `path` (a real path).
std::unique_ptr<InstallFolder> openInstallFolder(const std::filesystem::path& path, FolderResult& why);

}  // namespace adv::platform
