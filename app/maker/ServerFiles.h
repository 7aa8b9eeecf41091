// The server as the maker reads it: the remote folder and the folders below
// it, small files fetched whole, the names a folder lists, and a kept release
// checked with the maker's key. The session and the configuration are the
// caller's. Everything read here is a stranger's until a signature says
// otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/channel/Minisign.h"
#include "platform/FtpClient.h"

namespace adv {

struct Config;
struct ReleaseIndex;

// A release's program and signature, and what an index says of them.
struct ReleaseFiles {
    std::string program;
    std::string signature;
    minisign::Hash hash{};
    std::int64_t signedAt = 0;

    // The index's size, hash and signed time, from these files.
    void describe(ReleaseIndex& index) const;
    bool describedBy(const ReleaseIndex& index) const;
};

// The names a listing (NLST) gives, one a line; whatever else a server
// lists is the caller's to ignore.
std::vector<std::string> listedNames(std::string_view listing);

class ServerFiles {
public:
    ServerFiles(platform::FtpPublishSession& ftp, const Config& config) : ftp_(ftp), config_(config) {}

    platform::FtpPublishSession& ftp() { return ftp_; }
    // The session opened with the configuration's account and in the remote
    // folder, or why not; `stopped` is asked while it waits.
    platform::FtpResult open(std::function<bool()> stopped);
    const Config& config() const { return config_; }

    // `below` the remote folder; empty: the remote folder itself.
    bool enter(std::string_view below = {});
    // A folder `below` the remote one entered, made first where it is not
    // there; the server's refusal to make it in `made`.
    bool enterMade(std::string_view below, platform::FtpResult& made);
    // A file of the current folder, whole and no larger than `limit`.
    std::optional<std::string> fetch(const std::string& name, std::int64_t limit);
    // What `folder` lists, sorted (nothing when it cannot be listed); back in
    // the remote folder after.
    std::vector<std::string> namesIn(std::string_view folder);
    // Whether the current folder lists `name`.
    bool listed(std::string_view name);
    // The release files in the release folder, oldest first. Only names this
    // publisher makes count: whatever else a server lists is left alone.
    std::vector<std::string> releaseNames();
    // A kept release (a path as an index names it), its signature the
    // maker's and of this program; nothing when it is not.
    std::optional<ReleaseFiles> keptRelease(std::string_view path);
    // The quick look, nothing downloaded but a signature: whether the file
    // `name` of the current folder has `index`'s size (as the server says)
    // and a signature of the maker's of `index`'s hash at its signed time.
    bool looksLike(const std::string& name, const ReleaseIndex& index);

private:
    platform::FtpPublishSession& ftp_;
    const Config& config_;
};

}  // namespace adv
