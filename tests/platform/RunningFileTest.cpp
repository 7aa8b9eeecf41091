// What runs the installed file, found by the file and never by the name:
// every child here is called dolvo.exe, and only the pids it started are
// looked at.
#include "platform/RunningFile.h"
#include "tests/support/Spawn.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace t = adv::test;

enum class Child { RunsInstalled, RunsAnotherCopy, MapsInstalled, AnotherUserRunsAnotherCopy };

struct Row {
    const char* label;
    Child child;
    bool found;
};

// Wine's loader maps a Windows program's .exe and executes itself: a mapping
// with no open file behind it, as here, is all that shows of it.
const char* const kMapper = "import mmap, os, sys, time\n"
                            "with open(sys.argv[1], 'rb') as f:\n"
                            "    m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)\n"
                            "os.write(3, b'R')\n"
                            "time.sleep(120)\n";

class RunningFile : public ::testing::TestWithParam<Row> {};

TEST_P(RunningFile, IsWhatRunsOrMapsTheFileItself)
{
    const Row& row = GetParam();
    if (row.child == Child::AnotherUserRunsAnotherCopy && ::geteuid() != 0)
        GTEST_SKIP() << "needs root, to start a program as nobody";
    t::TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    fs::create_directories(dir.file("dolvo"));
    fs::create_directories(dir.file("altrove"));
    const std::string installed = t::installAs(t::childProgram(), dir.file("dolvo"), "dolvo.exe");
    const std::string another = t::installAs(t::childProgram(), dir.file("altrove"), "dolvo.exe");

    t::SpawnOptions options;
    options.program = row.child == Child::RunsInstalled ? installed : another;
    if (row.child == Child::MapsInstalled) {
        options.program = "/usr/bin/python3";
        options.args = {"-c", kMapper, installed};
    }
    if (row.child == Child::AnotherUserRunsAnotherCopy) {
        options.program = "/usr/bin/setpriv";
        options.args = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", another};
    }
    t::Child child = t::spawn(options);

    const std::vector<long> pids{child.pid()};
    EXPECT_EQ(adv::platform::processesRunningFile(installed, pids), row.found ? pids : std::vector<long>{});
}

INSTANTIATE_TEST_SUITE_P(Children, RunningFile,
                         ::testing::Values(Row{"RunsInstalled", Child::RunsInstalled, true},
                                           Row{"RunsAnotherCopy", Child::RunsAnotherCopy, false},
                                           Row{"MapsInstalled", Child::MapsInstalled, true},
                                           Row{"AnotherUserRunsAnotherCopy", Child::AnotherUserRunsAnotherCopy, false}),
                         [](const auto& row) { return std::string(row.param.label); });

}  // namespace
