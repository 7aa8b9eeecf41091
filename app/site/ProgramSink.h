// Where the update command's downloads go as they stream in: the program,
// to the temporary file beside the installed one, and the maker's index,
// to memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "app/channel/Minisign.h"
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
    std::int64_t capacity() const override { return whole_.value_or(limit_); }
    minisign::Hash hash() { return hash_->final(); }
    std::int64_t size() const { return size_; }

private:
    install::FileReplacement& file_;
    std::optional<std::int64_t> whole_;
    std::int64_t limit_;
    std::optional<minisign::StreamHash> hash_;
    std::int64_t size_ = 0;
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

}  // namespace adv
