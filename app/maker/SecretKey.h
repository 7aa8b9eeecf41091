// The maker's secret key, as `minisign -G` writes it: sealed with a password
// (scrypt, as minisign does), or open (`minisign -G -W`). Wiped when dropped.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "app/channel/Minisign.h"

namespace adv::minisign {

struct SecretKeyRead;

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

}  // namespace adv::minisign
