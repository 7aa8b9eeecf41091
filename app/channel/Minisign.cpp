#include "app/channel/Minisign.h"

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

constexpr std::size_t kSignatureBytes = 2 + 8 + 64;

void initialise()
{
    // Idempotent and thread-safe; fails only when the OS has no randomness,
    // which verification does not use.
    static const int once = sodium_init();
    (void)once;
}

Check refused(std::string why)
{
    return {false, std::move(why)};
}

}  // namespace

// minisign's own, for the file's own name and time: tab-separated fields.
std::string trustedComment(std::int64_t timestamp, std::string_view fileName)
{
    return "timestamp:" + std::to_string(timestamp) + "\tfile:" + std::string(fileName);
}

namespace {

std::string base64(const std::vector<unsigned char>& raw)
{
    std::string out(sodium_base64_encoded_len(raw.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), raw.data(), raw.size(), sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();
    return out;
}

}  // namespace

std::string publicKeyLine(const PublicKey& key)
{
    std::vector<unsigned char> line{'E', 'd'};
    line.insert(line.end(), key.id.begin(), key.id.end());
    line.insert(line.end(), key.key.begin(), key.key.end());
    return base64(line);
}

std::string signatureFile(const KeyId& id, const std::array<unsigned char, 64>& signature,
                          std::string_view trustedComment, const std::array<unsigned char, 64>& global)
{
    std::vector<unsigned char> line{'E', 'D'};
    line.insert(line.end(), id.begin(), id.end());
    line.insert(line.end(), signature.begin(), signature.end());
    return std::string(kUntrustedComment) + "signature from AggiornaDV secret key " + keyIdText(id) + "\n" +
           base64(line) + "\n" + std::string(kTrustedComment) + std::string(trustedComment) + "\n" +
           base64({global.begin(), global.end()}) + "\n";
}

std::string keyIdText(const KeyId& id)
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
    if (lines.size() != 4 || !lines[0].starts_with(kUntrustedComment) || !lines[2].starts_with(kTrustedComment))
        return fail("the signature file is not a minisign signature (four lines: untrusted comment, signature, "
                    "trusted comment, global signature)");

    unsigned char raw[kSignatureBytes];
    unsigned char global[crypto_sign_BYTES];
    if (!decodeBase64(lines[1], raw, sizeof raw) || !decodeBase64(lines[3], global, sizeof global))
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
        return fail("the file is signed by key " + keyIdText(id) + ", not by the configured key " + keyIdText(key.id));
    std::memcpy(signature.signature_.data(), raw + 10, signature.signature_.size());

    const std::string_view comment = lines[2].substr(kTrustedComment.size());
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

std::string randomHex(std::size_t bytes)
{
    // Idempotent; without randomness from the OS randombytes_buf aborts.
    static const int once = sodium_init();
    (void)once;
    std::string drawn(bytes, '\0'), hex(2 * bytes + 1, '\0');
    randombytes_buf(drawn.data(), bytes);
    sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char*>(drawn.data()), bytes);
    hex.pop_back();
    return hex;
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
