// Which processes run the installed file, by the file, never by the name: each
// child runs or maps a file named dolvo.exe, and is found when that is the installed one.
#include "platform/RunningFile.h"
#include "tests/support/Spawn.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <tuple>

TEST(RunningFile, IsWhatRunsOrMapsTheFileItself)
{
    adv::test::TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    std::filesystem::create_directory(dir.file("dolvo"));
    const std::string installed = adv::test::installAs(adv::test::childProgram(), dir.file("dolvo"), "dolvo.exe");
    const std::string another = adv::test::installAs(adv::test::childProgram(), dir.path(), "dolvo.exe");
    const std::vector<std::string> asNobody{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    // Wine's loader maps a Windows program's .exe and runs itself: a mapping
    // with no file left open behind it is all that shows.
    const std::vector<std::string> mapper{"/usr/bin/python3", "-c",
                                          "import mmap, os, sys, time\nwith open(sys.argv[1], 'rb') as f:\n"
                                          "    m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)\n"
                                          "os.write(3, b'R')\ntime.sleep(120)"};
    std::vector<std::string> nobodyMaps = asNobody;
    nobodyMaps.insert(nobodyMaps.end(), mapper.begin(), mapper.end());
    // A stranger's program goes on with its old file: only the owner's and
    // the administrator's hold the update back.
    const std::vector<std::tuple<std::vector<std::string>, std::string, bool>> table{{{}, installed, true},
                                                                                     {{}, another, false},
                                                                                     {mapper, installed, true},
                                                                                     {asNobody, another, false},
                                                                                     {nobodyMaps, installed, false}};
    for (auto [command, file, runs] : table) {
        if (!command.empty() && command.front() == asNobody.front() && ::geteuid() != 0) {
            std::printf("not started as nobody: that needs root\n");
            continue;
        }
        SCOPED_TRACE(command.empty() ? file : command.front() + " " + file);
        command.push_back(file);
        adv::test::SpawnOptions options;
        options.program = command.front();
        options.args.assign(command.begin() + 1, command.end());
        adv::test::Child child = adv::test::spawn(options);
        const std::vector<long> pids{child.pid()};
        EXPECT_EQ(adv::platform::processesRunningFile(installed, pids), runs ? pids : std::vector<long>{});
    }
}
