// The release index is read as strictly as it is written: what --publish
// writes reads back the same, and anything else is refused whole.
#include <gtest/gtest.h>

#include <string>

#include "app/channel/ReleaseIndex.h"

namespace {

adv::ReleaseIndex sample()
{
    adv::ReleaseIndex index;
    index.release = "releases/dolvo-1796824563-1a2b3c4d.exe";
    index.size = 4 * 1024 * 1024;
    index.hash.fill(0xab);
    index.signedAt = 1796824563;
    index.rollout = *adv::Rollout::parse("10@0h,50@24h,100@72h");
    index.withdrawn = {adv::minisign::Hash{}, index.hash};
    index.validDays = 14;
    index.refreshKey = adv::minisign::PublicKey{{1, 2, 3, 4, 5, 6, 7, 8}, {9}};
    return index;
}

TEST(ReleaseIndex, ReadsBackWhatItWritesAndRefusesTheRest)
{
    const std::string good = sample().text();
    const adv::ReadIndex again = adv::readReleaseIndex(good);
    ASSERT_TRUE(again.index) << again.cause.logged().toStdString();
    EXPECT_EQ(*again.index, sample());

    const auto with = [&good](const std::string& key, const std::string& value) {
        const auto at = good.find("\n" + key + " = ") + 1;
        return good.substr(0, at) + key + " = " + value + good.substr(good.find('\n', at));
    };
    const struct {
        std::string text;
        const char* problem;
    } refused[] = {
        {with("release", "../dolvo.exe"), "release"},
        {with("release", "releases/../dolvo.exe"), "release"},
        {with("release", "releases/a/dolvo.exe"), "release"},
        {with("release", "releases/.dolvo.exe.part"), "release"},
        {with("format", "2"), "forma più recente"},
        {with("size", "0"), "size"},
        {with("hash", "ab"), "hash"},
        {with("rollout", "50@0h,10@24h,100@72h"), "rollout"},
        {with("rollout", "10@0h,50@0h,100@72h"), "rollout"},
        {with("rollout", "10@0h,50@24h"), "rollout"},
        {with("rollout", "100@1d"), "rollout"},
        {with("withdrawn", "ab,cd"), "withdrawn"},
        {good + "nuova = 1\n", "chiave sconosciuta"},
        {good.substr(0, good.find("\nsigned")) + good.substr(good.find("\nrollout")), "signed"},
    };
    for (const auto& row : refused) {
        const adv::ReadIndex read = adv::readReleaseIndex(row.text);
        EXPECT_FALSE(read.index) << row.text;
        EXPECT_TRUE(read.cause.text.contains(QString::fromUtf8(row.problem))) << read.cause.logged().toStdString();
    }
    // Signed, it may grow: what this reader does not know is skipped unless
    // marked required; a later minor form reads, a later major one does not.
    const auto format = [&good](const std::string& value) {
        return "format = " + value + good.substr(good.find('\n', good.find("format = ")));
    };
    const std::string marked = good.substr(0, good.find("rollout = ")) + "!" + good.substr(good.find("rollout = "));
    const struct {
        std::string text;
        bool verified;
        const char* problem;  // nullptr: read as the sample
    } grown[] = {
        {good + "nuova = 1\n", true, nullptr},
        {good + "!nuova = 1\n", true, "richiede"},
        {format("1.3"), true, nullptr},
        {format("1.3"), false, "format"},
        {format("2.1"), true, "forma più recente"},
        {format("1.x"), true, "format"},
        {marked, true, nullptr},
        {marked, false, "forma chiave = valore"},
    };
    for (const auto& row : grown) {
        const adv::ReadIndex read = adv::readReleaseIndex(row.text, row.verified);
        EXPECT_EQ(read.index.has_value(), row.problem == nullptr) << row.text;
        EXPECT_TRUE(row.problem ? read.cause.text.contains(QString::fromUtf8(row.problem)) : *read.index == sample())
            << read.cause.logged().toStdString();
    }
    for (const char* plan : {"100", "pausa", "1@0h,2@1h,100@8784h"})
        EXPECT_EQ(adv::Rollout::parse(plan)->text(), std::string(plan) == "100" ? "100@0h" : plan);
}

}  // namespace
