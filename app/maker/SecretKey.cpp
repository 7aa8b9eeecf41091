#include "app/maker/SecretKey.h"

#include <sodium.h>

#include <cstring>
#include <vector>

#include "app/core/KeyValueText.h"

namespace adv::minisign {
namespace {

// minisign's secret key file: algorithms, the scrypt parameters, then the
// key number, the key and a checksum, the last three sealed together.
constexpr std::size_t kSaltBytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr std::size_t kSealedBytes = 8 + crypto_sign_SECRETKEYBYTES + 32;
constexpr std::size_t kSecretKeyFileBytes = 2 + 2 + 2 + kSaltBytes + 8 + 8 + kSealedBytes;
// minisign's own limits are scrypt's "sensitive" ones (1 GiB); a key asking
// for more than this is not one minisign made.
constexpr std::uint64_t kMaxScryptMemory = std::uint64_t{4} << 30;

Check refused(std::string why)
{
    return {false, std::move(why)};
}

std::uint64_t littleEndian(const unsigned char* p)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

// The decoded key file, or nothing; its size and algorithms checked.
std::optional<std::array<unsigned char, kSecretKeyFileBytes>> secretKeyFile(std::string_view text)
{
    std::vector<std::string_view> lines = linesOf(text);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    std::array<unsigned char, kSecretKeyFileBytes> raw{};
    if (lines.size() != 2 || !lines[0].starts_with(kUntrustedComment) ||
        !decodeBase64(trimmed(lines[1]), raw.data(), raw.size()))
        return std::nullopt;
    const bool scrypt = raw[2] == 'S' && raw[3] == 'c', open = raw[2] == 0 && raw[3] == 0;
    if (raw[0] != 'E' || raw[1] != 'd' || !(scrypt || open) || raw[4] != 'B' || raw[5] != '2')
        return std::nullopt;
    return raw;
}

}  // namespace

std::optional<bool> SecretKey::sealed(std::string_view text)
{
    const auto raw = secretKeyFile(text);
    if (!raw)
        return std::nullopt;
    return (*raw)[2] == 'S';
}

SecretKeyRead SecretKey::read(std::string_view text, std::string_view password)
{
    if (sodium_init() < 0)
        return {std::nullopt, refused("this system gives no randomness to sign with")};
    auto raw = secretKeyFile(text);
    if (!raw)
        return {std::nullopt, refused("not a minisign secret key (the file minisign -G writes)")};
    unsigned char* const salt = raw->data() + 6;
    unsigned char* const sealedPart = salt + kSaltBytes + 16;
    if ((*raw)[2] == 'S') {
        const std::uint64_t ops = littleEndian(salt + kSaltBytes), memory = littleEndian(salt + kSaltBytes + 8);
        if (memory > kMaxScryptMemory)
            return {std::nullopt, refused("the secret key asks for more memory to open than minisign ever does")};
        std::array<unsigned char, kSealedBytes> stream{};
        if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), password.data(), password.size(), salt,
                                               ops, static_cast<std::size_t>(memory)) != 0)
            return {std::nullopt, refused("not enough memory to open the secret key")};
        for (std::size_t i = 0; i < kSealedBytes; ++i)
            sealedPart[i] ^= stream[i];
        sodium_memzero(stream.data(), stream.size());
    }
    // The checksum covers the algorithm, the key number and the key: a wrong
    // password shows here.
    std::array<unsigned char, 32> sum{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, sum.size());
    crypto_generichash_update(&state, raw->data(), 2);
    crypto_generichash_update(&state, sealedPart, 8 + crypto_sign_SECRETKEYBYTES);
    crypto_generichash_final(&state, sum.data(), sum.size());
    // minisign -W leaves an open key's checksum zero; the key's own halves,
    // the seed and the public key it makes, must agree in any case.
    const unsigned char* const written = sealedPart + 8 + crypto_sign_SECRETKEYBYTES;
    const bool summed =
        sodium_memcmp(sum.data(), written, sum.size()) == 0 || ((*raw)[2] == 0 && sodium_is_zero(written, sum.size()));
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed{};
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> made{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> remade{};
    crypto_sign_ed25519_sk_to_seed(seed.data(), sealedPart + 8);
    crypto_sign_seed_keypair(made.data(), remade.data(), seed.data());
    const bool whole = summed && sodium_memcmp(remade.data(), sealedPart + 8, remade.size()) == 0;
    sodium_memzero(seed.data(), seed.size());
    sodium_memzero(remade.data(), remade.size());
    SecretKeyRead read;
    if (whole) {
        read.key.emplace(SecretKey());
        std::memcpy(read.key->id_.data(), sealedPart, 8);
        std::memcpy(read.key->secret_.data(), sealedPart + 8, crypto_sign_SECRETKEYBYTES);
    } else {
        read.check = refused((*raw)[2] == 'S' ? "wrong password for the secret key" : "the secret key is damaged");
    }
    sodium_memzero(raw->data(), raw->size());
    return read;
}

SecretKey::SecretKey(SecretKey&& other) noexcept : id_(other.id_), secret_(other.secret_)
{
    sodium_memzero(other.secret_.data(), other.secret_.size());
}

SecretKey::~SecretKey()
{
    sodium_memzero(secret_.data(), secret_.size());
}

PublicKey SecretKey::publicKey() const
{
    PublicKey key;
    key.id = id_;
    crypto_sign_ed25519_sk_to_pk(key.key.data(), secret_.data());
    return key;
}

std::string SecretKey::sign(const Hash& fileHash, std::string_view trustedComment) const
{
    std::array<unsigned char, crypto_sign_BYTES> signature{}, global{};
    crypto_sign_detached(signature.data(), nullptr, fileHash.data(), fileHash.size(), secret_.data());
    std::vector<unsigned char> signedPart(signature.begin(), signature.end());
    signedPart.insert(signedPart.end(), trustedComment.begin(), trustedComment.end());
    crypto_sign_detached(global.data(), nullptr, signedPart.data(), signedPart.size(), secret_.data());
    return signatureFile(id_, signature, trustedComment, global);
}

}  // namespace adv::minisign
