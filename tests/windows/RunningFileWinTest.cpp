// Of two stand-ins named dolvo.exe, only the one started from the installed file runs it.
#include "platform/RunningFile.h"
#include "StandIns.h"
#include <gtest/gtest.h>

TEST(RunningFileWin, IsTheProcessStartedFromTheFileNotItsNamesake)
{
    adv::test::StandIns installed, elsewhere;
    const long runsIt = static_cast<long>(installed.start(L"dolvo.exe", adv::test::StandInMode::Windowless).pid);
    const long namesake = static_cast<long>(elsewhere.start(L"dolvo.exe", adv::test::StandInMode::Windowless).pid);
    const std::vector<long> pids{namesake, runsIt};
    EXPECT_EQ(adv::platform::processesRunningFile(installed.folder() / L"dolvo.exe", pids), std::vector<long>{runsIt});
}
