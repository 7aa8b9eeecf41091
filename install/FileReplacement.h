// The install transaction: replacing the installed program with a new copy
// and going back to the previous one, so that the installed name always holds
// either the old program or the whole new one, the previous program is kept,
// and the release record says which release is where.
//
// Written once, over the per-OS primitives of platform/InstallFolder.h. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/InstallFolder.h"

namespace adv::install {

// The names beside the installed program.
inline constexpr std::string_view kPreviousSuffix = ".prev";      // the program it replaced
inline constexpr std::string_view kRecordSuffix = ".release";     // the release record
inline constexpr std::string_view kLockSuffix = ".lock";          // one updater at a time
inline constexpr std::string_view kSignatureSuffix = ".minisig";  // a release's signature
inline constexpr std::string_view kMemoSuffix = ".server";        // what the server offered, last read
inline constexpr std::string_view kPartialTag = ".part-";         // "." + name + tag + key: a cut download

// A download that may go on where an earlier one was cut: the release it is
// of (`key`: hex digits that name it, such as the start of its hash) and its
// whole size.
struct Resumable {
    std::string key;
    std::int64_t size = 0;
};

using platform::ReplaceResult;
using platform::ReplaceStatus;

// A release of the program, as far as it is known.
struct Release {
    std::optional<std::int64_t> signedAt;  // the signature's timestamp; none when unsigned or unknown
    std::string hash;                      // BLAKE2b-512 of the file, hex; empty when not known

    bool operator==(const Release&) const = default;
};

// What the record says. An entry whose file is no longer the one recorded
// (someone replaced it by hand) reads as an unknown release; the floor stays.
struct ReleaseRecord {
    Release installed;
    Release previous;
    std::optional<std::int64_t> floor;  // the highest release ever installed here
    // What the maker's signed indexes told this site: when the newest one
    // seen was signed, and the releases withdrawn (hashes, hex), which no
    // later index brings back.
    std::optional<std::int64_t> indexSeen;
    std::vector<std::string> withdrawn;
};

// lock() takes the installation's lock and reads its record; begin(),
// write() and commit() put a new program in place; rollBack() goes back to
// the previous one. The record is read and written only under the lock, and
// always atomically; a cut at any instant leaves the old program with a
// record that describes it, or the new one with a floor at least as high as
// before. Whatever does not end in a commit leaves the installation as it was;
// a cut after the new program stands leaves the rest of the commit to the
// next lock(), which never drops a release that only a hidden name holds.
struct Recorded;
struct Opened;

class FileReplacement {
public:
    // Opens the folder of `target` (the installed program's real path) once:
    // every later step works on that folder, whatever becomes of its path.
    static Opened open(const std::filesystem::path& target);
    // Over a folder already opened, as tests do with their own primitives.
    FileReplacement(std::unique_ptr<platform::InstallFolder> folder, std::string name);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    ReplaceResult lock();
    const ReleaseRecord& record() const { return record_; }
    // Where no record exists yet: the signature that an earlier release of
    // this updater kept beside the program, which then held its floor; at
    // most `maxBytes` and one more, for the reader to refuse.
    std::optional<std::string> legacySignature(std::size_t maxBytes);
    // Raises the floor (not lowered) for the next commit or roll-back to write.
    void raiseFloor(std::int64_t signedAt);
    // The same for what a maker's index said: the newest index's time (when
    // its signature was checked), and the releases it withdrew, added to
    // those known.
    void noteIndex(std::optional<std::int64_t> signedAt, const std::vector<std::string>& withdrawn);
    // Writes what was noted when no commit or roll-back follows.
    ReplaceResult remember();
    // The record as it stands, read without the lock and without writing
    // anything (a look, not an update): what lock() would read, less what a
    // cut run left for the next one to finish.
    ReplaceResult look() { return readRecord(); }

    // The installed file, read from start to end into `take` (a hash, say).
    ReplaceResult readInstalled(const std::function<void(const char* data, std::size_t size)>& take);
    // The installed file's hash, as the caller computed it: where the record
    // no longer describes the file (a copy put back from a backup, a move to
    // another disk), the file with the recorded hash is the recorded release
    // again, and any other is known by its hash alone.
    void identify(const std::string& hash);

    // The caller's memory of what the server offered, kept beside the
    // program: at most `maxBytes`; none when there is none or it does not
    // read. Kept (under the lock, in one step) with keepMemo.
    std::optional<std::string> memo(std::size_t maxBytes);
    ReplaceResult keepMemo(const std::string& text);

    // With `resumable`, the new file is the download of that release an
    // earlier run kept, when it is there and sound, else a new one; held()
    // then says how many bytes it already holds (0 when new). What is kept
    // of any other release goes: the site has moved on.
    ReplaceResult begin(const Resumable* resumable = nullptr);
    std::int64_t held() const { return heldBytes_; }
    // The bytes held, read back in order for the caller's hash: held() of
    // them, no more.
    ReplaceResult readHeld(const std::function<ReplaceResult(const char* data, std::size_t size)>& take);
    // Drops what is held and starts the same download again from byte 0, as
    // when the bytes held did not match.
    ReplaceResult restart();
    ReplaceResult write(const char* data, std::size_t size);
    // Installs the new file as `release`, keeping the installed program as
    // the previous one; Unchanged, touching nothing, when the two are the same.
    ReplaceResult commit(const Release& release);
    // Drops the temporary file, but keeps a resumable download for a later
    // begin() of its release (as does a failed commit); the installation
    // stays as it was.
    void abandon() noexcept;

    // The previous program and the installed one trade places, and so do
    // their entries in the record; the floor stays. Works also when the
    // installed program is missing.
    ReplaceResult rollBack();

    std::string shown() const;

private:
    std::string recordName() const;
    void recoverLeftovers();
    std::string recordText(const std::string& name, bool& readable);
    bool holds(const std::string& name, const std::string& kept, const platform::Entry& keptEntry);
    ReplaceResult keep(const std::string& from);
    ReplaceResult swap(const std::string& a, const std::string& b);
    ReplaceResult readRecord();
    ReplaceResult writeRecord(const Recorded& installed, const Recorded& previous, std::optional<std::int64_t> floor,
                              std::string& temporary);
    // Writes the record and puts it in place.
    ReplaceResult putRecord(const Recorded& installed, const Recorded& previous, std::optional<std::int64_t> floor);
    bool sameFiles(const std::string& a, const std::string& b);
    // The hidden names beside the program: a file being written (a
    // download, a record), and a second name or copy of a program being
    // moved, which a cut can leave as the only copy of a release.
    static constexpr std::string_view kNewTag = ".new-";
    static constexpr std::string_view kKeptTag = ".old-";
    std::string temporaryName(std::string_view tag) const;
    void removeTemporaries() noexcept;
    // The download's own steps (FileReplacementDownload.cpp).
    std::string partialName(const std::string& key) const;
    void removePartials(const std::string& kept);
    ReplaceResult start(const std::optional<Resumable>& resumable);
    ReplaceResult replaceKept(const std::string& name);
    void removeLegacySignatures();

    std::unique_ptr<platform::InstallFolder> folder_;
    std::string name_;
    bool locked_ = false;
    ReleaseRecord record_;
    Release unmatched_;                   // what the record says of an installed file it no longer describes
    std::string temporary_;               // the new program while it is written
    std::optional<Resumable> resumable_;  // what temporary_ is a kept download of
    std::int64_t heldBytes_ = 0;
    std::string recordTemporary_;
    std::string held_;  // a second name of the program being replaced
};

// An installation opened, or why not; none and no failure: not installed.
struct Opened {
    std::unique_ptr<FileReplacement> replacement;
    ReplaceResult result;  // why not, when there is none
};

}  // namespace adv::install
