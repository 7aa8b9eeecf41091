// The maker's minisign public key, as the configuration and the program
// carry it: both sides check what travels between them with it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace adv::minisign {

using KeyId = std::array<unsigned char, 8>;

struct PublicKey {
    KeyId id{};
    std::array<unsigned char, 32> key{};
    bool operator==(const PublicKey&) const = default;
};

// The base64 line of a `minisign.pub` ("RW..."); spaces around it are
// ignored. Nothing when it is not a minisign Ed25519 key.
std::optional<PublicKey> parsePublicKey(std::string_view base64);

// Exactly `size` bytes of standard base64 into `out`, nothing before or after.
bool decodeBase64(std::string_view text, unsigned char* out, std::size_t size);

}  // namespace adv::minisign
