// The maker's signatures: minisign's format, checked with libsodium, the
// functions minisign itself calls. Sites only check; the maker signs
// (app/maker/SecretKey.h) in the same format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/PublicKey.h"

namespace adv::minisign {

using Hash = std::array<unsigned char, 64>;  // BLAKE2b-512

// A hash as lower-case hex, and back; nothing when `text` is not one.
std::string toHex(const Hash& hash);
std::optional<Hash> hashFromHex(std::string_view text);

// A signature file larger than this is refused unread.
constexpr std::size_t kMaxSignatureBytes = 16 * 1024;

// The outcome of a check, and why it failed, in English.
struct Check {
    bool passed = true;
    std::string detail;
    explicit operator bool() const { return passed; }
};

struct Checked;

// A `.minisig` file whose form, key and trusted comment have been checked:
// everything that can be known before the signed file itself is seen.
class Signature {
public:
    // Checks, in this order: size and form; a prehashed ("ED") signature,
    // since a whole-file one ("Ed") needs the file in memory; the key id;
    // the global signature over the signature and the trusted comment; a
    // trusted comment that names `file:<fileName>` and carries a timestamp.
    static Checked check(std::string_view text, const PublicKey& key, std::string_view fileName);

    // Whether the signature holds for a file with this BLAKE2b-512 hash.
    Check verifies(const Hash& fileHash) const;

    // The trusted comment's `timestamp:`, seconds since 1970.
    std::int64_t timestamp() const { return timestamp_; }

private:
    PublicKey key_;
    std::array<unsigned char, 64> signature_{};
    std::int64_t timestamp_ = 0;
};

// A signature file as checked: the signature, or why it was refused.
struct Checked {
    std::optional<Signature> signature;
    Check check;
};

// The form of a signature file, written as minisign writes it: the four
// lines (untrusted comment, signature, trusted comment, global signature),
// the trusted comment this program signs, a key id as minisign shows it.
inline constexpr std::string_view kUntrustedComment = "untrusted comment: ";
inline constexpr std::string_view kTrustedComment = "trusted comment: ";
std::string trustedComment(std::int64_t timestamp, std::string_view fileName);
std::string signatureFile(const KeyId& id, const std::array<unsigned char, 64>& signature,
                          std::string_view trustedComment, const std::array<unsigned char, 64>& global);
std::string keyIdText(const KeyId& id);
// A public key as the base64 line of a `minisign.pub`, which parsePublicKey reads.
std::string publicKeyLine(const PublicKey& key);

// BLAKE2b-512 of bytes at hand.
Hash hashOf(std::string_view bytes);

// `bytes` drawn from the system's randomness, as lower-case hex.
std::string randomHex(std::size_t bytes);

// BLAKE2b-512 of a stream, fed as the bytes arrive and computed beside the
// caller, on a thread of its own. final() once, after the last update().
class StreamHash {
public:
    StreamHash();
    ~StreamHash();
    StreamHash(const StreamHash&) = delete;
    StreamHash& operator=(const StreamHash&) = delete;

    void update(const char* data, std::size_t size);
    Hash final();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace adv::minisign
