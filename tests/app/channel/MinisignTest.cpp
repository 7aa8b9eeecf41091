// The stream hash: however the bytes arrive, in one piece or one at a time,
// and however far the hashing thread lags, it is the file's BLAKE2b-512.
#include <gtest/gtest.h>

#include <sodium.h>

#include <algorithm>
#include <functional>
#include <cstdint>
#include <string>
#include <vector>

#include "app/channel/Minisign.h"
#include "tests/support/MinisignMaker.h"

namespace {

using adv::test::oneShot;

std::vector<char> bytes(std::size_t size)
{
    std::vector<char> out(size);
    std::uint32_t x = 2463534242u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xffu);
    }
    return out;
}

struct Pieces {
    const char* label;
    std::size_t total;
    std::size_t piece;  // 0: all at once
};

class StreamHashTest : public ::testing::TestWithParam<Pieces> {};

TEST_P(StreamHashTest, IsTheHashOfTheWhole)
{
    const Pieces p = GetParam();
    const std::vector<char> data = bytes(p.total);
    adv::minisign::StreamHash hash;
    const std::size_t step = p.piece == 0 ? data.size() : p.piece;
    for (std::size_t at = 0; at < data.size(); at += step)
        hash.update(data.data() + at, std::min(step, data.size() - at));
    hash.update(data.data(), 0);  // an empty piece changes nothing
    EXPECT_EQ(hash.final(), oneShot(data));
}

INSTANTIATE_TEST_SUITE_P(Pieces, StreamHashTest,
                         ::testing::Values(Pieces{"empty", 0, 0}, Pieces{"whole", 3 * 1024 * 1024 + 17, 0},
                                           Pieces{"oneByteAtATime", 70001, 1}, Pieces{"oddPieces", 1234567, 7777},
                                           // Many more pieces than the queue holds: update() waits for room.
                                           Pieces{"curlSizedPieces", 8 * 1024 * 1024 + 3, 100 * 1024}),
                         [](const auto& row) { return std::string(row.param.label); });

// Dropped before the end (a download that failed): nothing hangs or leaks.
TEST(StreamHash, CanBeAbandonedHalfway)
{
    const std::vector<char> data = bytes(1024 * 1024);
    for (int i = 0; i < 20; ++i) {
        adv::minisign::StreamHash hash;
        for (std::size_t at = 0; at < data.size(); at += 4096)
            hash.update(data.data() + at, 4096);
    }
}

}  // namespace

// --- the signature file, read and checked as the maker's minisign writes it --

namespace {

using adv::test::base64;
using adv::test::Bytes;
using adv::test::Maker;
using adv::test::oneShot;

const std::string kProgram = "MZ versione 2";
const std::string kComment = "timestamp:2000\tfile:dolvo.exe";

struct Forgery {
    const char* label;
    std::function<std::string(const Maker&)> signature;
    const char* refused;  // in the reason; empty: genuine
    std::string file = kProgram;
};

class SignatureCheck : public ::testing::TestWithParam<Forgery> {};

TEST_P(SignatureCheck, AcceptsOnlyTheMakersSignatureOfThisFile)
{
    const Forgery& f = GetParam();
    const Maker maker;
    const auto [signature, firstCheck] = adv::minisign::Signature::check(f.signature(maker), maker.key(), "dolvo.exe");
    adv::minisign::Check check = firstCheck;
    if (signature)
        check = signature->verifies(oneShot(std::vector<char>(f.file.begin(), f.file.end())));
    EXPECT_NE(check.detail.find(f.refused), std::string::npos) << check.detail;
    EXPECT_EQ(check.detail.empty(), std::string(f.refused).empty()) << check.detail;
    if (std::string(f.refused).empty()) {
        EXPECT_EQ(signature->timestamp(), 2000);
    }
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    text.replace(text.find(from), from.size(), to);
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Minisign, SignatureCheck,
    ::testing::Values(
        Forgery{"genuine", [](const Maker& m) { return m.signatureOf(kProgram, kComment); }, ""},
        Forgery{"tamperedFile", [](const Maker& m) { return m.signatureOf(kProgram, kComment); },
                "does not match its signature", "MZ versione X"},
        Forgery{"anotherKey", [](const Maker&) { return Maker().signatureOf(kProgram, kComment); },
                "not by the configured key"},
        Forgery{"legacySignature", [](const Maker& m) { return m.signatureOf(kProgram, kComment, true); }, "legacy"},
        Forgery{"commentForAnotherFile",
                [](const Maker& m) { return m.signatureOf(kProgram, "timestamp:2000\tfile:trevanto.exe"); },
                "file:dolvo.exe"},
        Forgery{"noTimestamp", [](const Maker& m) { return m.signatureOf(kProgram, "file:dolvo.exe"); }, "timestamp"},
        Forgery{"commentAlteredAfterSigning",
                [](const Maker& m) {
                    return replaced(m.signatureOf(kProgram, kComment), "timestamp:2000", "timestamp:9999999999");
                },
                "global signature"},
        Forgery{"oversizedSignature",
                [](const Maker& m) { return m.signatureOf(kProgram, kComment) + std::string(17 * 1024, '#'); },
                "more than the 16384"},
        Forgery{"garbledSignature",
                [](const Maker& m) {
                    std::string text = m.signatureOf(kProgram, kComment);
                    const auto line = text.find('\n') + 1;
                    return text.replace(line, 12, "RUQnonèbase64");
                },
                "base64"}),
    [](const auto& row) { return std::string(row.param.label); });

}  // namespace
