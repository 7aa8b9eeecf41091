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

// What came of a step of the install transaction: one shape for the
// folder's primitives here and for the transaction over them
// (install/FileReplacement.h).
enum class ReplaceStatus {
    Ok,
    Unchanged,    // the new file is the installed one, byte for byte: nothing was touched
    Busy,         // another updater holds the installation's lock
    Failed,       // detail says why
    HeldOpen,     // another program held the file open past the retries: nothing was replaced
    Damaged,      // the release record is not a record: nothing can be trusted to it
    NothingKept,  // a roll-back found no previous program to go back to
    Unsupported,  // the file system has no such operation; nothing was done (the transaction then
                  // takes another way: it never returns this)
};

struct ReplaceResult {
    ReplaceStatus status = ReplaceStatus::Ok;
    std::string detail;  // English, for stderr; on success, what could not be tidied

    explicit operator bool() const { return status == ReplaceStatus::Ok || status == ReplaceStatus::Unchanged; }
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
    virtual ReplaceResult lock(const std::string& name) = 0;

    virtual Entry entry(const std::string& name) = 0;
    virtual std::vector<std::string> names() = 0;

    // A new file, which must not exist yet, open for writing until sealed:
    // one such file at a time.
    virtual ReplaceResult create(const std::string& name) = 0;
    // The file `name` open for writing at its end, in create()'s place: a
    // download kept from an earlier run, whose `size` it holds, when it is an
    // ordinary file of this updater's own (never a link followed, one name,
    // at most `maxSize` bytes); else an error, and nothing is touched.
    virtual ReplaceResult reopen(const std::string& name, std::int64_t maxSize, std::int64_t& size) = 0;
    virtual ReplaceResult write(const char* data, std::size_t size) = 0;
    // Gives the open file the owner and mode of `model` where that is a file,
    // writes it to disk and closes it.
    virtual ReplaceResult seal(const std::string& model) = 0;
    // Closes the open file as it is; the caller removes it.
    virtual void discard() noexcept = 0;

    // Up to `size` bytes of the ordinary file `name` from `offset`: a link,
    // a folder or a FIFO there is an error, and never blocks.
    virtual ReplaceResult read(const std::string& name, std::int64_t offset, char* buffer, std::size_t size,
                               std::size_t& got) = 0;

    // `to` (which must not exist) becomes a second name of the file `from`;
    // Unsupported where the file system has no links, and the transaction
    // then keeps a copy.
    virtual ReplaceResult link(const std::string& from, const std::string& to) = 0;
    // `from` takes the place of `to` in one step.
    virtual ReplaceResult renameOver(const std::string& from, const std::string& to) = 0;
    // The two files trade names in one step; Unsupported where the file
    // system cannot, and the transaction then does it in three.
    virtual ReplaceResult exchange(const std::string& a, const std::string& b) = 0;
    virtual ReplaceResult remove(const std::string& name) = 0;
    // The folder's entries, as they now are, to disk.
    virtual ReplaceResult sync() = 0;
};

// A folder opened, or why not.
struct OpenedFolder {
    std::unique_ptr<InstallFolder> folder;
    ReplaceResult result;  // why not, when there is none
};

// Opens the folder at `path` (a real path).
OpenedFolder openInstallFolder(const std::filesystem::path& path);

}  // namespace adv::platform
