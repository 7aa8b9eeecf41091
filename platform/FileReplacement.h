// Replacing an installed file with a new copy, so that the installed name
// always holds either the old file or the whole new one.
//
// One implementation per OS (file_replacement_linux.cpp; Windows' comes with
// the Windows program), chosen by CMake. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace adv::platform {

enum class ReplaceStatus {
    Ok,
    Busy,    // another updater holds the file's lock
    Failed,  // detail says why
};

struct ReplaceResult {
    ReplaceStatus status = ReplaceStatus::Ok;
    std::string detail;  // English, for stderr

    explicit operator bool() const { return status == ReplaceStatus::Ok; }
};

// begin() locks the target against every other updater and opens a temporary
// file beside it; write() appends to the temporary file; commit() gives it the
// installed file's owner and mode, flushes it and its folder to disk and
// renames it over the target. Whatever does not end in a commit (a failure,
// a cancelled download, the object going away) leaves the target as it was,
// removes the temporary file and releases the lock.
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
    ReplaceResult commit();
    // Drops the temporary file and the lock; the target stays as it was.
    void abandon() noexcept;

    std::int64_t written() const { return written_; }
    const std::filesystem::path& target() const { return target_; }

private:
    struct Handles;  // per OS

    std::filesystem::path target_;
    std::unique_ptr<Handles> handles_;
    std::int64_t written_ = 0;
};

}  // namespace adv::platform
