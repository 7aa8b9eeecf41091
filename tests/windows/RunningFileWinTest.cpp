// What runs the installed file on Windows: two copies of the stand-in, both
// named dolvo.exe, and only the one started from the installed file counts.
#include "platform/RunningFile.h"

#include "StandIns.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RunningFileWin, IsTheProcessStartedFromTheFileNotItsNamesake)
{
    adv::test::StandIns installed;
    adv::test::StandIns elsewhere;
    const long runsIt = static_cast<long>(installed.start(L"dolvo.exe", adv::test::StandInMode::Windowless).pid);
    const long namesake = static_cast<long>(elsewhere.start(L"dolvo.exe", adv::test::StandInMode::Windowless).pid);

    const std::vector<long> pids{namesake, runsIt};
    EXPECT_EQ(adv::platform::processesRunningFile(installed.folder() / L"dolvo.exe", pids), std::vector<long>{runsIt});
}

}  // namespace
