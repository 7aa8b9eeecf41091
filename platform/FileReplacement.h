// Replacing an installed file with a new copy, so that the installed name
// always holds either the old file or the whole new one.
//
// One implementation per OS (FileReplacement_linux.cpp, FileReplacement_win.cpp),
// chosen by CMake. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace adv::platform {

enum class ReplaceStatus {
    Ok,
    Busy,         // another updater holds the file's lock
    Failed,       // detail says why
    NothingKept,  // a roll-back found no previous file to go back to
};

struct ReplaceResult {
    ReplaceStatus status = ReplaceStatus::Ok;
    std::string detail;  // English, for stderr

    explicit operator bool() const { return status == ReplaceStatus::Ok; }
};

// begin() locks the target against every other updater and opens a temporary
// file beside it; write() appends to the temporary file; commit() gives it the
// installed file's owner and mode, flushes it to disk, keeps the installed
// file as `target` + ".prev" and renames the new one over the target.
// Whatever does not end in a commit (a failure, a cancelled download, the
// object going away) leaves the target as it was, removes the temporary file
// and releases the lock.
//
// Beside the target may stand its signature, `target` + ".minisig"; it goes
// to ".prev.minisig" with the file it speaks for. The installed name never
// disappears, not even for an instant.
//
// The lock is one the kernel holds on an open file, so it goes with the
// process that holds it, whatever way that ends; the lock file, `target` +
// ".lock", is never followed through a link, and a leftover one never blocks.
class FileReplacement {
public:
    // `target` is the installed file's real path (no link in it).
    explicit FileReplacement(std::filesystem::path target);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    ReplaceResult begin();
    ReplaceResult write(const char* data, std::size_t size);
    // `signature`, when given, is written as `target` + ".minisig" once the
    // file is in place; when not, a signature from an earlier update is
    // removed. The file is installed even if its signature cannot be
    // written: it only ever gets compared with a newer release's.
    ReplaceResult commit(const std::optional<std::string>& signature = std::nullopt);
    // Drops the temporary file and the lock; the target stays as it was.
    void abandon() noexcept;

    // Swaps the target and `target` + ".prev", and their signatures, under
    // the same lock: a second roll-back goes forward again.
    static ReplaceResult rollBack(const std::filesystem::path& target);

    std::int64_t written() const { return written_; }
    const std::filesystem::path& target() const { return target_; }

    struct Handles;  // per OS, opaque to callers

private:

    std::filesystem::path target_;
    std::unique_ptr<Handles> handles_;
    std::int64_t written_ = 0;
};

}  // namespace adv::platform
