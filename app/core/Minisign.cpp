#include "app/core/Minisign.h"

#include <sodium.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <cstring>
#include <vector>

#include "app/core/KeyValueText.h"

namespace adv::minisign {
namespace {

constexpr std::string_view kUntrusted = "untrusted comment: ";
constexpr std::string_view kTrusted = "trusted comment: ";
constexpr std::size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr std::size_t kSignatureBytes = 2 + 8 + 64;

void initialise()
{
    // Idempotent and thread-safe; fails only when the OS has no randomness,
    // which verification does not use.
    static const int once = sodium_init();
    (void)once;
}

// Exactly `size` bytes of standard base64, nothing before or after.
bool decode(std::string_view text, unsigned char* out, std::size_t size)
{
    std::size_t length = 0;
    const char* end = nullptr;
    std::vector<unsigned char> buffer(size + 3);
    if (sodium_base642bin(buffer.data(), buffer.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    if (end != text.data() + text.size() || length != size)
        return false;
    std::memcpy(out, buffer.data(), size);
    return true;
}

Check refused(std::string why)
{
    return {false, std::move(why)};
}

std::string hex(const KeyId& id)
{
    // minisign shows key ids as the little-endian number, high byte first.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (auto it = id.rbegin(); it != id.rend(); ++it) {
        out += kDigits[*it >> 4];
        out += kDigits[*it & 0xf];
    }
    return out;
}

// The file's lines without their ends; a last line end is optional.
std::vector<std::string_view> linesOf(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

}  // namespace

std::string toHex(const Hash& hash)
{
    std::string text(hash.size() * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), hash.data(), hash.size());
    text.pop_back();
    return text;
}

std::optional<Hash> hashFromHex(std::string_view text)
{
    Hash hash{};
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_hex2bin(hash.data(), hash.size(), text.data(), text.size(), nullptr, &length, &end) != 0 ||
        length != hash.size() || end != text.data() + text.size())
        return std::nullopt;
    return hash;
}

std::optional<PublicKey> parsePublicKey(std::string_view base64)
{
    initialise();
    unsigned char raw[kPublicKeyBytes];
    if (!decode(trimmed(base64), raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd')
        return std::nullopt;
    PublicKey key;
    std::memcpy(key.id.data(), raw + 2, key.id.size());
    std::memcpy(key.key.data(), raw + 10, key.key.size());
    return key;
}

Checked Signature::check(std::string_view text, const PublicKey& key, std::string_view fileName)
{
    initialise();
    const auto fail = [](std::string why) { return Checked{std::nullopt, refused(std::move(why))}; };

    if (text.size() > kMaxSignatureBytes)
        return fail("the signature file has " + std::to_string(text.size()) + " bytes, more than the " +
                    std::to_string(kMaxSignatureBytes) + " a minisign signature can have");
    std::vector<std::string_view> lines = linesOf(text);
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.size() != 4 || !lines[0].starts_with(kUntrusted) || !lines[2].starts_with(kTrusted))
        return fail("the signature file is not a minisign signature (four lines: untrusted comment, signature, "
                    "trusted comment, global signature)");

    unsigned char raw[kSignatureBytes];
    unsigned char global[crypto_sign_BYTES];
    if (!decode(lines[1], raw, sizeof raw) || !decode(lines[3], global, sizeof global))
        return fail("the signature file's signature lines are not minisign's base64");

    if (raw[0] == 'E' && raw[1] == 'd')
        return fail("the file is signed in minisign's legacy whole-file format; sign it without -l");
    if (raw[0] != 'E' || raw[1] != 'D')
        return fail("the signature file uses an unknown signature algorithm");

    Signature signature;
    signature.key_ = key;
    KeyId id;
    std::memcpy(id.data(), raw + 2, id.size());
    if (id != key.id)
        return fail("the file is signed by key " + hex(id) + ", not by the configured key " + hex(key.id));
    std::memcpy(signature.signature_.data(), raw + 10, signature.signature_.size());

    const std::string_view comment = lines[2].substr(kTrusted.size());
    std::vector<unsigned char> signedPart(signature.signature_.begin(), signature.signature_.end());
    signedPart.insert(signedPart.end(), comment.begin(), comment.end());
    if (crypto_sign_verify_detached(global, signedPart.data(), signedPart.size(), key.key.data()) != 0)
        return fail("the signature's trusted comment does not match its global signature");

    // Fields separated by tabs (minisign's own comment) or spaces.
    std::optional<std::int64_t> timestamp;
    int files = 0;
    bool ours = false;
    std::string_view rest = comment;
    while (!rest.empty()) {
        const auto end = rest.find_first_of(" \t");
        const std::string_view field = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (field.starts_with("file:")) {
            ++files;
            ours = field.substr(5) == fileName;
        } else if (field.starts_with("timestamp:")) {
            const std::string_view digits = field.substr(10);
            if (timestamp || digits.empty() || digits.size() > 18 ||
                !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return fail("the signature's trusted comment has no single valid timestamp");
            timestamp = std::stoll(std::string(digits));
        }
    }
    if (files != 1 || !ours)
        return fail("the signature's trusted comment does not name file:" + std::string(fileName));
    if (!timestamp)
        return fail("the signature's trusted comment has no timestamp");
    signature.timestamp_ = *timestamp;
    return {signature, {}};
}

Hash hashOf(std::string_view bytes)
{
    initialise();
    Hash out{};
    crypto_generichash(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                       nullptr, 0);
    return out;
}

Check Signature::verifies(const Hash& fileHash) const
{
    if (crypto_sign_verify_detached(signature_.data(), fileHash.data(), fileHash.size(), key_.key.data()) != 0)
        return refused("the downloaded file does not match its signature: it is not the one the maker signed");
    return {};
}

namespace {

// minisign's secret key file: algorithms, the scrypt parameters, then the
// key number, the key and a checksum, the last three sealed together.
constexpr std::size_t kSaltBytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr std::size_t kSealedBytes = 8 + crypto_sign_SECRETKEYBYTES + 32;
constexpr std::size_t kSecretKeyFileBytes = 2 + 2 + 2 + kSaltBytes + 8 + 8 + kSealedBytes;
// minisign's own limits are scrypt's "sensitive" ones (1 GiB); a key asking
// for more than this is not one minisign made.
constexpr std::uint64_t kMaxScryptMemory = std::uint64_t{4} << 30;

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
    if (lines.size() != 2 || !lines[0].starts_with(kUntrusted) || !decode(trimmed(lines[1]), raw.data(), raw.size()))
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
    initialise();
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
    const auto base64 = [](const std::vector<unsigned char>& raw) {
        std::string out(sodium_base64_encoded_len(raw.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
        sodium_bin2base64(out.data(), out.size(), raw.data(), raw.size(), sodium_base64_VARIANT_ORIGINAL);
        out.pop_back();
        return out;
    };
    std::vector<unsigned char> signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, fileHash.data(), fileHash.size(), secret_.data());
    std::vector<unsigned char> line{'E', 'D'};
    line.insert(line.end(), id_.begin(), id_.end());
    line.insert(line.end(), signature.begin(), signature.end());
    std::vector<unsigned char> global(crypto_sign_BYTES), signedPart = signature;
    signedPart.insert(signedPart.end(), trustedComment.begin(), trustedComment.end());
    crypto_sign_detached(global.data(), nullptr, signedPart.data(), signedPart.size(), secret_.data());
    return std::string(kUntrusted) + "signature from AggiornaDV secret key " + hex(id_) + "\n" + base64(line) + "\n" +
           std::string(kTrusted) + std::string(trustedComment) + "\n" + base64(global) + "\n";
}

// The hash runs on a thread of its own, so that it overlaps the transfer
// instead of following it: the downloading thread only copies each piece
// into a short queue. The queue is bounded (a full one makes update() wait),
// so memory stays flat whatever the size of the file.
struct StreamHash::State {
    static constexpr std::size_t kMaxQueued = 16;

    crypto_generichash_state hash{};
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<char>> queued;
    std::vector<std::vector<char>> spare;  // buffers to reuse
    bool ended = false;
    std::thread worker;

    void run()
    {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            changed.wait(held, [this] { return ended || !queued.empty(); });
            if (queued.empty())
                return;  // ended, and all of it hashed
            std::vector<char> piece = std::move(queued.front());
            queued.pop_front();
            held.unlock();
            changed.notify_all();  // room in the queue
            crypto_generichash_update(&hash, reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
            held.lock();
            spare.push_back(std::move(piece));
        }
    }

    void stop()
    {
        {
            const std::lock_guard<std::mutex> held(lock);
            ended = true;
        }
        changed.notify_all();
        if (worker.joinable())
            worker.join();
    }
};

StreamHash::StreamHash() : state_(std::make_unique<State>())
{
    initialise();
    crypto_generichash_init(&state_->hash, nullptr, 0, crypto_generichash_BYTES_MAX);
    state_->worker = std::thread([state = state_.get()] { state->run(); });
}

StreamHash::~StreamHash()
{
    state_->stop();
}

void StreamHash::update(const char* data, std::size_t size)
{
    if (size == 0)
        return;
    std::vector<char> piece;
    std::unique_lock<std::mutex> held(state_->lock);
    state_->changed.wait(held, [this] { return state_->queued.size() < State::kMaxQueued; });
    if (!state_->spare.empty()) {
        piece = std::move(state_->spare.back());
        state_->spare.pop_back();
    }
    // The copy is made outside the lock: the hashing thread may take the
    // next piece meanwhile. Only this thread adds, so the room stays.
    held.unlock();
    piece.assign(data, data + size);
    held.lock();
    state_->queued.push_back(std::move(piece));
    held.unlock();
    state_->changed.notify_all();
}

Hash StreamHash::final()
{
    state_->stop();
    Hash out{};
    crypto_generichash_final(&state_->hash, out.data(), out.size());
    return out;
}

}  // namespace adv::minisign
