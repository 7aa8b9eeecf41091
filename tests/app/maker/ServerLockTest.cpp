// Who holds the server's lock, as its owner file says: another publisher
// for an hour by either clock, then no one; one a cut left without its
// owner is no one's.
#include <gtest/gtest.h>

#include "app/maker/ServerLock.h"

namespace {

TEST(ServerLock, WhoHoldsIt)
{
    using adv::LockHolder;
    constexpr std::int64_t kNow = 1796000000;
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

}  // namespace
