// The pace's two judgements, as tables.
#include <gtest/gtest.h>

#include <tuple>

#include "app/site/Pacing.h"

using adv::platform::FtpFailure;

TEST(Pacing, WorkingHoursRunFromTheirStartToBeforeTheirEndAcrossMidnightToo)
{
    using R = std::tuple<int, int, int, bool>;
    for (const auto& [from, to, minute, within] :
         {R{480, 1200, 479, false}, R{480, 1200, 480, true}, R{480, 1200, 1199, true}, R{480, 1200, 1200, false},
          R{1320, 360, 1319, false}, R{1320, 360, 1320, true}, R{1320, 360, 0, true}, R{1320, 360, 360, false}})
        EXPECT_EQ(adv::withinWorkingHours({from, to}, minute), within) << from << "-" << to << " at " << minute;
}

// Connection 0 is refused or timed out, 220 dropped after the greeting;
// Transfer 226 too slow.
TEST(Pacing, OnlyAFailureThatMayPassIsTriedAgain)
{
    using R = std::tuple<FtpFailure, long, bool>;
    for (const auto& [failure, reply, mayPass] :
         {R{FtpFailure::Connection, 0, true}, R{FtpFailure::Connection, 421, true},
          R{FtpFailure::Connection, 220, true}, R{FtpFailure::Connection, 530, false}, R{FtpFailure::Folder, 421, true},
          R{FtpFailure::Folder, 550, false}, R{FtpFailure::Transfer, 426, true}, R{FtpFailure::Transfer, 226, true},
          R{FtpFailure::Transfer, 552, false}, R{FtpFailure::RemoteFile, 550, false}, R{FtpFailure::Size, 213, false},
          R{FtpFailure::Sink, 0, false}, R{FtpFailure::Interrupted, 0, false}, R{FtpFailure::TlsRefused, 0, false},
          R{FtpFailure::Untrusted, 0, false}})
        EXPECT_EQ(adv::mayPassIfTriedAgain({failure, reply, "detail", {}}), mayPass)
            << static_cast<int>(failure) << " " << reply;
}
