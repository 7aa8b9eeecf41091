// The maker's signatures: minisign's format, made and checked with
// libsodium, the functions minisign itself calls. Sites only check; the
// maker's --publish signs, with a key `minisign -G` made.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace adv::minisign {

using KeyId = std::array<unsigned char, 8>;
using Hash = std::array<unsigned char, 64>;  // BLAKE2b-512

// A hash as lower-case hex, and back; nothing when `text` is not one.
std::string toHex(const Hash& hash);
std::optional<Hash> hashFromHex(std::string_view text);

// A signature file larger than this is refused unread.
constexpr std::size_t kMaxSignatureBytes = 16 * 1024;

struct PublicKey {
    KeyId id{};
    std::array<unsigned char, 32> key{};
};

// The base64 line of a `minisign.pub` ("RW..."); spaces around it are
// ignored. Nothing when it is not a minisign Ed25519 key.
std::optional<PublicKey> parsePublicKey(std::string_view base64);

// The outcome of a check, and why it failed, in English.
struct Check {
    bool passed = true;
    std::string failure;
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

struct SecretKeyRead;

// The maker's secret key, as `minisign -G` writes it: sealed with a password
// (scrypt, as minisign does), or open (`minisign -G -W`). Wiped when dropped.
class SecretKey {
public:
    // Whether the key file is sealed with a password; nothing when it is
    // not a minisign secret key at all.
    static std::optional<bool> sealed(std::string_view text);
    // Opens the key with `password` (ignored for an open key).
    static SecretKeyRead read(std::string_view text, std::string_view password);

    SecretKey(const SecretKey&) = delete;
    SecretKey& operator=(const SecretKey&) = delete;
    SecretKey(SecretKey&& other) noexcept;
    SecretKey& operator=(SecretKey&&) = delete;
    ~SecretKey();

    PublicKey publicKey() const;
    // A signature file of the file with this hash, prehashed ("ED", as
    // minisign signs by default), its trusted comment as given.
    std::string sign(const Hash& fileHash, std::string_view trustedComment) const;

private:
    SecretKey() = default;
    KeyId id_{};
    std::array<unsigned char, 64> secret_{};
};

struct SecretKeyRead {
    std::optional<SecretKey> key;
    Check check;
};

// BLAKE2b-512 of bytes at hand.
Hash hashOf(std::string_view bytes);

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
