// Where the update command's downloads go as they stream in: the program,
// to the temporary file beside the installed one, and the maker's index,
// to memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"
#include "app/core/UpdateUi.h"
#include "install/FileReplacement.h"
#include "platform/FtpClient.h"

namespace adv {

// The program, and its hash when something will check it.
class ProgramSink final : public platform::FtpSink {
public:
    // `whole`: the whole file's size, when the caller knows it and its hash
    // already; no more is written, whatever size the server gives. Else at
    // most `limit`.
    ProgramSink(install::FileReplacement& file, bool hashing, std::optional<std::int64_t> whole, std::int64_t limit);
    platform::FtpResult take(const char* data, std::size_t size) override;
    bool checksWhole() const override { return whole_.has_value(); }
    // The bytes the file already holds from a cut download (a whole-checked
    // one only), hashed first: the server sends the rest.
    install::ReplaceResult takeHeld();
    std::int64_t heldAlready() const override { return held_; }
    std::int64_t capacity() const override { return whole_.value_or(limit_); }
    minisign::Hash hash() { return hash_->final(); }
    std::int64_t size() const { return size_; }

private:
    install::FileReplacement& file_;
    std::optional<std::int64_t> whole_;
    std::int64_t limit_;
    std::optional<minisign::StreamHash> hash_;
    std::int64_t size_ = 0;
    std::int64_t held_ = 0;
};

// The index is only ever put in place whole, by a rename, and one cut short
// does not read: the session need not wait to ask about it again.
class IndexSink final : public platform::FtpSink {
public:
    platform::FtpResult take(const char* data, std::size_t size) override;
    std::int64_t capacity() const override;
    bool checksWhole() const override { return true; }
    std::string text;
};

// Fetches `name` into `sink`, the window's progress kept up to date.
platform::FtpResult fetchProgram(platform::FtpClient& ftp, UpdateUi& ui, const std::string& name, ProgramSink& sink);

// The index's release, from its file in releases/, into the new file
// `replacement` began: a cut download of it that an earlier run kept goes on
// where it stopped (such a file is never rewritten), and one whose whole
// does not turn out to be the index's release starts once more from byte 0.
struct FetchedRelease {
    std::optional<minisign::Hash> hash;  // none: not the index's release
    platform::FtpResult server;
    install::ReplaceResult local;
};
FetchedRelease fetchRelease(platform::FtpClient& ftp, UpdateUi& ui, install::FileReplacement& replacement,
                            const std::string& name, const ReleaseIndex& index);

}  // namespace adv
