// The maker's side of minisign, for tests: a key pair and signatures in
// minisign's format, made with libsodium's own functions.
#pragma once

#include <gtest/gtest.h>

#include <sodium.h>

#include <string>
#include <vector>

#include "app/channel/Minisign.h"

namespace adv::test {

inline adv::minisign::Hash oneShot(const std::vector<char>& data)
{
    EXPECT_GE(sodium_init(), 0);
    adv::minisign::Hash out{};
    crypto_generichash(out.data(), out.size(), reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                       nullptr, 0);
    return out;
}

using Bytes = std::basic_string<unsigned char>;

inline std::string base64(const Bytes& raw)
{
    std::string out(sodium_base64_encoded_len(raw.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), raw.data(), raw.size(), sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();
    return out;
}

struct Maker {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES], id[8];
    Maker()
    {
        EXPECT_GE(sodium_init(), 0);
        crypto_sign_keypair(publicKey, secretKey);
        randombytes_buf(id, sizeof id);
    }
    std::string publicLine() const { return base64(Bytes{'E', 'd'} + Bytes(id, 8) + Bytes(publicKey, 32)); }
    adv::minisign::PublicKey key() const { return *adv::minisign::parsePublicKey(publicLine()); }
    Bytes sign(const Bytes& message) const
    {
        Bytes signature(crypto_sign_BYTES, 0);
        crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), secretKey);
        return signature;
    }
    // `legacy`: minisign -l, a signature of the whole file rather than its hash.
    std::string signatureOf(const std::string& file, const std::string& comment, bool legacy = false) const
    {
        const adv::minisign::Hash hash = oneShot(std::vector<char>(file.begin(), file.end()));
        const Bytes signature = sign(legacy ? Bytes(file.begin(), file.end()) : Bytes(hash.begin(), hash.end()));
        const Bytes algorithm{'E', static_cast<unsigned char>(legacy ? 'd' : 'D')};
        return "untrusted comment: signature from minisign secret key\n" +
               base64(algorithm + Bytes(id, 8) + signature) + "\ntrusted comment: " + comment + "\n" +
               base64(sign(signature + Bytes(comment.begin(), comment.end()))) + "\n";
    }
    // The secret key file `minisign -G -W` writes (open: no password).
    std::string secretKeyFile() const
    {
        const Bytes zeros(2 + 32 + 16, 0), sum(32, 0);
        return "untrusted comment: minisign encrypted secret key\n" +
               base64(Bytes{'E', 'd'} + zeros.substr(0, 2) + Bytes{'B', '2'} + zeros.substr(2) + Bytes(id, 8) +
                      Bytes(secretKey, 64) + sum) +
               "\n";
    }
    // As the maker releases dolvo.exe, signed at `timestamp`.
    std::string release(const std::string& file, long long timestamp) const
    {
        return signatureOf(file, "timestamp:" + std::to_string(timestamp) + "\tfile:dolvo.exe");
    }
};

}  // namespace adv::test
