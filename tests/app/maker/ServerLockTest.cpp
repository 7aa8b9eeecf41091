// Who holds the server's lock, as its owner file says: another publisher
// for an hour by either clock, then no one; one a cut left without its
// owner is no one's. Taking it over a server in memory: what a failure
// leaves, the server's time, --unlock.
#include <gtest/gtest.h>

#include <functional>

#include "app/maker/ServerLock.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/ScriptedServer.h"

namespace {

constexpr std::int64_t kNow = 1796000000;
const std::string kLock = "download/dolvo.exe.publishing", kOwner = kLock + "/owner";

TEST(ServerLock, WhoHoldsIt)
{
    using adv::LockHolder;
    const std::string ours = "qui pid 5 1796000000\n";
    const struct {
        const char* owner;
        LockHolder holder;
    } rows[] = {
        {"qui pid 5 1796000000\n", LockHolder::Ours},
        {"qui pid 5 1796000001\n", LockHolder::Another},
        {"altro pid 7 1795999000\n", LockHolder::Another},
        {"altro pid 7 1796003000\n", LockHolder::Another},  // a clock ahead
        {"altro pid 7 1795996400\n", LockHolder::Stale},    // an hour ago
        {"altro pid 7 1795990000\n", LockHolder::Stale},
        {"altro pid 7 1796090000\n", LockHolder::Stale},  // a clock a day ahead
        {"", LockHolder::Stale},                          // cut before it wrote its owner
        {"altro", LockHolder::Stale},
        {"altro pid 7 -9223372036854775808\n", LockHolder::Stale},  // numbers the server made up
        {"altro pid 7 99999999999999999999\n", LockHolder::Stale},
    };
    for (const auto& row : rows)
        EXPECT_EQ(adv::lockHolder(row.owner, ours, kNow), row.holder) << row.owner;
}

struct Taking {
    adv::test::ScriptedServer server;
    adv::Config config;
    adv::test::RecordingUi ui{true};
    adv::ServerFiles files{server, config};
    adv::ServerLock lock{files, ui, kNow};

    Taking()
    {
        server.folders = {"", "download"};
        config.remoteFolder = "download";
        (void)server.EnterRemoteFolder(config.remoteFolder);  // as a publish does first
    }
    void heldBy(const std::string& line)
    {
        server.folders.insert(kLock);
        server.files[kOwner] = line;
    }
};

TEST(ServerLock, TakenOrLeftAsItWas)
{
    using enum adv::PublishOutcome;
    const struct {
        const char* label;
        std::function<void(Taking&)> given;
        adv::PublishOutcome outcome;
        bool lockThere;
        std::optional<std::int64_t> serverTime{};
        const char* detail = "";
    } rows[] = {
        {"a free server", {}, Published, true},
        {"a server with a clock", [](Taking& t) { t.server.clock = kNow - 30; }, Published, true, kNow - 30},
        // The server's own refusal is the cause, and the lock does not outlive the run.
        {"its owner not read back",
         [](Taking& t) {
             t.server.failing = {{"fetch", 1}};
         },
         ServerFailed,
         false,
         {},
         "522 SSL"},
        {"its owner not written",
         [](Taking& t) {
             t.server.failing = {{"put", 1}};
         },
         ServerFailed,
         false,
         {},
         "550 Scripted"},
        {"another's line read back",
         [](Taking& t) {
             t.server.meanwhile = [&t](const std::string& kind) {
                 if (kind == "fetch")
                     t.server.files[kOwner] = "altro pid 7 1796000000\n";
             };
         },
         Locked, true},
        {"another's lock whose owner the server will not give",
         [](Taking& t) {
             t.heldBy("altro pid 7 1790000000\n");
             t.server.failing = {{"fetch", 1}};
         },
         ServerFailed, true},
    };
    for (const auto& row : rows) {
        Taking t;
        if (row.given)
            row.given(t);
        const adv::PublishReport got = t.lock.take().value_or(adv::PublishReport{Published, {}});
        EXPECT_EQ(got.outcome, row.outcome) << row.label << ": " << got.cause.logged().toStdString();
        EXPECT_TRUE(got.cause.detail.contains(QString::fromUtf8(row.detail))) << row.label;
        EXPECT_EQ(t.server.folders.contains(kLock), row.lockThere) << row.label;
        EXPECT_EQ(t.lock.serverTime(), row.serverTime) << row.label;
    }
}

// Two makers of one host name and pid, in the same second.
TEST(ServerLock, OwnerLinesDifferAndEndWithTheTime)
{
    Taking one, two;
    ASSERT_FALSE(one.lock.take() || two.lock.take());
    EXPECT_NE(one.server.files[kOwner], two.server.files[kOwner]);
    EXPECT_EQ(adv::lockTakenAt(one.server.files[kOwner]), kNow);
}

TEST(ServerLock, UnlockSaysWhoseAndRemovesIt)
{
    for (const bool locked : {true, false}) {
        Taking t;
        if (locked)
            t.heldBy("altro pid 7 1795996000\n");
        const adv::PublishReport got = adv::UnlockCommand(t.ui, t.server, t.config, kNow);
        EXPECT_EQ(got.outcome, adv::PublishOutcome::Published) << got.cause.logged().toStdString();
        EXPECT_FALSE(t.server.folders.contains(kLock) || t.server.files.contains(kOwner));
        EXPECT_EQ(t.ui.lines.join(u'\n').contains(QStringLiteral("di altro pid 7 1795996000, preso 1 h 6 min 40 s fa")),
                  locked)
            << t.ui.lines.join(u'\n').toStdString();
    }
}

}  // namespace
