// Every name on the server, as the maker writes them and sites read them:
// the pair today's sites read (the program and its signature), the index
// beside it, the release files in a folder below, the publisher's lock and
// the names a file has while it is being uploaded. No I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/channel/Minisign.h"
#include "app/core/ProductTable.h"

namespace adv {

// A file's minisign signature is the file's name and this.
inline constexpr std::string_view kSignatureSuffix = ".minisig";
std::string signatureName(std::string_view file);

// The maker's signed index, beside the program; its size bound.
inline const std::string kIndexName = std::string(kUpdatedProgram) + ".index";
inline constexpr std::size_t kMaxIndexBytes = minisign::kMaxSignatureBytes + 64 * 1024;
// The refresh statement beside the index (Freshness.h).
inline const std::string kFreshName = kIndexName + ".fresh";

// Release files, in this folder below the remote one, named
// "dolvo-<signed time>-<first 8 hex digits of the hash>.exe": no upload ever
// changes a release file sites are reading.
inline constexpr std::string_view kReleaseFolderName = "releases";
std::string releaseFileName(std::int64_t signedAt, const minisign::Hash& hash);
// The signed time in a release file's name; nothing for any other name.
std::optional<std::int64_t> releaseTime(std::string_view name);
// The first hex digits of the hash in a release file's name; empty for any
// other name.
std::string_view releaseHashStart(std::string_view name);
// A release as the index names it ("releases/<name>"), and back.
std::string releasePath(std::string_view name);
std::string_view releaseFileOf(std::string_view path);
// Whether an index may name `path`: one plain name in the release folder,
// so that an index can never send a site anywhere else on the server.
bool isReleasePath(std::string_view path);

// The publisher's lock: a folder, made as the server's own test-and-set,
// with a file inside saying who holds it since when.
inline const std::string kLockFolderName = std::string(kUpdatedProgram) + ".publishing";
inline constexpr std::string_view kLockOwner = "owner";

// A file being uploaded has a name no site reads: ".<name>.part".
std::string partName(std::string_view name);
// A file in use set aside while the one replacing it is renamed in, where
// the server will not rename onto a name in use: ".<name>.old", also a name
// no site reads.
std::string asideName(std::string_view name);
// What a cut publish leaves behind: one of these names of ours, in the
// remote folder (`inReleaseFolder` false) or the release folder.
bool isLeftover(std::string_view name, bool inReleaseFolder);

}  // namespace adv
