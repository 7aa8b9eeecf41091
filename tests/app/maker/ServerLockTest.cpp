// Who holds the server's lock, as its owner file says: another publisher
// for an hour by either clock, then no one; one a cut left without its
// owner is no one's. Taken, or removed by --unlock, on a server in memory.
#include <gtest/gtest.h>

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

    explicit Taking(const char* held = nullptr)
    {
        server.folders = {"", "download"};
        config.remoteFolder = "download";
        (void)server.EnterRemoteFolder(config.remoteFolder);  // as a publish does first
        if (held)
            server.folders.insert(kLock), server.files[kOwner] = held;
    }
};

// A lock read back whole is held, and dated by the server's clock; one that
// fails ends the run with the server's reason and leaves none behind.
TEST(ServerLock, TakenOrLeftAsItWas)
{
    using enum adv::PublishOutcome;
    const struct {
        const char* label;
        const char* fault;  // the first call of this kind refused
        const char* held;   // the owner on the server before
        adv::PublishOutcome outcome;
        bool lockThere;
        const char* detail;
    } rows[] = {
        {"a free server", "", {}, Published, true, ""},
        {"its owner not read back", "fetch", {}, ServerFailed, false, "522 SSL"},
        {"its owner not written", "put", {}, ServerFailed, false, "550 Scripted"},
        {"another's owner unreadable", "fetch", "altro pid 7 1790000000\n", ServerFailed, true, "522 SSL"},
    };
    for (const auto& row : rows) {
        Taking t(row.held);
        t.server.clock = kNow - 30;
        t.server.failing = {{row.fault, 1}};
        const adv::PublishReport got = t.lock.take().value_or(adv::PublishReport{Published, {}});
        EXPECT_EQ(got.outcome, row.outcome) << row.label << ": " << got.cause.logged().toStdString();
        EXPECT_TRUE(got.cause.detail.contains(QString::fromUtf8(row.detail))) << row.label;
        EXPECT_EQ(t.server.folders.contains(kLock), row.lockThere) << row.label;
        EXPECT_TRUE(row.outcome != Published || t.lock.serverTime() == kNow - 30) << row.label;
    }
}

// Two makers of one host name and pid, in the same second, on servers that give no time.
TEST(ServerLock, OwnerLinesDifferAndEndWithTheTime)
{
    Taking one, two;
    ASSERT_FALSE(one.lock.take() || two.lock.take());
    EXPECT_NE(one.server.files[kOwner], two.server.files[kOwner]);
    EXPECT_EQ(adv::lockTakenAt(one.server.files[kOwner]), kNow);
    EXPECT_FALSE(one.lock.serverTime());
}

TEST(ServerLock, UnlockSaysWhoseAndRemovesIt)
{
    for (const char* held : {"altro pid 7 1795996000\n", static_cast<const char*>(nullptr)}) {
        Taking t(held);
        EXPECT_EQ(adv::UnlockCommand(t.ui, t.server, t.config, kNow).outcome, adv::PublishOutcome::Published);
        EXPECT_FALSE(t.server.folders.contains(kLock) || t.server.files.contains(kOwner));
        EXPECT_EQ(t.ui.lines.join(u' ').contains(QStringLiteral("altro pid 7 1795996000, preso 1 h 6 min 40 s fa")),
                  held != nullptr);
    }
}

}  // namespace
