// Which running processes carry which image name. Real children are started
// in every way a product's program can run on Linux; the table is only ever
// asked to open them, never to signal anything, and only the pids the test
// started are looked at.
#include "platform/ProcessTable.h"
#include "tests/support/Spawn.h"

#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace t = adv::test;

// The walk for one name.
adv::platform::ProcessWalk walkFor(std::string_view name)
{
    return adv::platform::openProcessesNamed(std::span(&name, 1));
}

bool opens(std::string_view name, long pid)
{
    const auto found = walkFor(name).processes;
    return std::any_of(found.begin(), found.end(), [pid](const auto& p) { return p.pid() == pid; });
}

enum class Launch {
    Native,           // the file started under its own path
    OtherArgv0,       // started with an unrelated argv[0]
    Wine,             // Windows path in argv[0], Windows name in comm, exe elsewhere
    Script,           // a #! /bin/sh script
    Replaced,         // file replaced by a new one while running; unrelated argv[0]
    AskedAsArgument,  // the asked name, as a path, among its arguments
};

struct NameCase {
    const char* label;
    Launch launch;
    std::string file;   // "{u}" stands for a token unique to this run
    std::string asked;  // "{u}" as above; "{cut}" for the first 15 bytes of file
    bool matches;
};

std::string expand(std::string text, const std::string& token, const std::string& file)
{
    if (text == "{cut}")
        return file.substr(0, 15);
    if (const auto at = text.find("{u}"); at != std::string::npos)
        text.replace(at, 3, token);
    return text;
}

constexpr const char* kScript = "#!/bin/sh\n"
                                "printf R >&3\n"
                                "exec 3>&-\n"
                                "i=0\n"
                                "while [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done\n";

t::Child launch(Launch how, const t::TempDir& dir, const std::string& file, const std::string& asked)
{
    switch (how) {
    case Launch::Native: return t::spawnNamed(dir.path(), file);
    case Launch::OtherArgv0: return t::spawnNamed(dir.path(), file, {}, t::Placement::Copy, "idler");
    case Launch::Wine:
        // The loader keeps its own file name; the Windows program shows only
        // in argv[0] and in the name the process gives itself.
        return t::spawnNamed(dir.path(), t::uniqueName("wine", ""), {"--comm", file}, t::Placement::Symlink,
                             "C:\\dolvo\\" + file);
    case Launch::Script: {
        t::SpawnOptions options;
        options.program = t::writeExecutable(dir.path(), file, kScript);
        return t::spawn(options);
    }
    case Launch::Replaced: {
        t::Child child = t::spawnNamed(dir.path(), file, {}, t::Placement::Copy, "idler");
        // The way an update replaces a program: a new file renamed over it.
        const std::string fresh = t::installAs(t::childProgram(), dir.path(), file + ".new");
        if (std::rename(fresh.c_str(), dir.file(file).c_str()) != 0)
            ADD_FAILURE() << "cannot replace " << file;
        return child;
    }
    case Launch::AskedAsArgument: return t::spawnNamed(dir.path(), file, {"--note", dir.file(asked)});
    }
    return {};
}

// Names the row in test output.
void PrintTo(const NameCase& c, std::ostream* out)
{
    *out << c.file << " asked as " << c.asked;
}

class ImageNames : public testing::TestWithParam<NameCase> {};

TEST_P(ImageNames, MatchOnlyTheExactName)
{
    const NameCase& c = GetParam();
    const t::TempDir dir;
    const std::string token = t::uniqueName("", "");
    const std::string file = expand(c.file, token, c.file);
    const std::string asked = expand(c.asked, token, file);

    t::Child child = launch(c.launch, dir, file, asked);
    ASSERT_TRUE(child.running()) << child.describe();
    EXPECT_EQ(opens(asked, child.pid()), c.matches) << "process " << file << ", asked " << asked;
    EXPECT_TRUE(child.running()) << "looking must not disturb it: " << child.describe();
}

const NameCase kNameCases[] = {
    {"NativeProgram", Launch::Native, "dolvo.exe", "dolvo.exe", true},
    {"AskedInOtherCase", Launch::Native, "dolvo.exe", "DOLVO.EXE", true},
    {"FileInOtherCase", Launch::Native, "Kivo.exe", "kivo.exe", true},
    {"WineProgram", Launch::Wine, "dolvo.exe", "dolvo.exe", true},
    {"Script", Launch::Script, "lettovi.exe", "lettovi.exe", true},
    {"NameEndingInAskedName", Launch::Native, "vidorizu.exe", "Kivo.exe", false},
    {"LongerByALetter", Launch::Native, "lettovia.exe", "lettovi.exe", false},
    {"LongerByADigit", Launch::Native, "lettovi2.exe", "lettovi.exe", false},
    {"AskedLongerThanImage", Launch::Native, "{u}.exe", "a{u}.exe", false},
    {"ReplacedWhileRunning", Launch::Replaced, "dolvo.exe", "dolvo.exe", true},
    {"StartedUnderOtherArgv0", Launch::OtherArgv0, "{u}.exe", "{u}.exe", true},
    // Past the kernel's 15 bytes of process name.
    {"LongName", Launch::Native, "{u}-long-program-name.exe", "{u}-long-program-name.exe", true},
    {"LongNameOtherCase", Launch::Native, "{u}-long-program-name.exe", "{u}-LONG-PROGRAM-NAME.EXE", true},
    {"LongNameDiffersPastCut", Launch::Native, "{u}-long-program-name.exe", "{u}-long-program-nome.exe", false},
    {"AskedTheCutName", Launch::Native, "{u}-long-program-name.exe", "{cut}", false},
    {"LongNameOtherArgv0", Launch::OtherArgv0, "{u}-long-program-name.exe", "{u}-long-program-name.exe", true},
    {"LongWineName", Launch::Wine, "{u}-long-windows-name.exe", "{u}-long-windows-name.exe", true},
    {"LongScriptName", Launch::Script, "{u}-long-script-name.exe", "{u}-long-script-name.exe", true},
    {"LongNameReplaced", Launch::Replaced, "{u}-long-replaced-name.exe", "{u}-long-replaced-name.exe", true},
    {"LongNameOnlyAsArgument", Launch::AskedAsArgument, "{u}-long-program-nime.exe", "{u}-long-program-name.exe",
     false},
};

INSTANTIATE_TEST_SUITE_P(Linux, ImageNames, testing::ValuesIn(kNameCases),
                         [](const testing::TestParamInfo<NameCase>& row) { return std::string(row.param.label); });

std::string commOf(const std::string& pidDir)
{
    std::ifstream in(pidDir + "/comm");
    std::string comm;
    std::getline(in, comm);
    return comm;
}

// Kernel threads carry names like any process; asking for one must never
// yield the thread.
TEST(ProcessNames, KernelThreadsNeverMatch)
{
    constexpr unsigned long kKernelThread = 0x00200000;  // PF_KTHREAD
    std::vector<std::pair<long, std::string>> threads;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string leaf = entry.path().filename().string();
        if (leaf.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        // After "pid (comm)": state ppid pgrp session tty_nr tpgid flags.
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long flags = 0;
        for (int i = 0; i < 6; ++i)
            rest >> field;
        rest >> flags;
        if ((flags & kKernelThread) != 0)
            threads.emplace_back(std::stol(leaf), commOf(entry.path().string()));
        if (threads.size() == 8)
            break;
    }
    if (threads.empty())
        GTEST_SKIP() << "no kernel thread is visible in this /proc";
    for (const auto& [pid, comm] : threads)
        EXPECT_FALSE(opens(comm, pid)) << "kernel thread " << pid << " (" << comm << ")";
}

TEST(ProcessNames, EveryInstanceIsFound)
{
    const t::TempDir dir;
    const std::string name = t::uniqueName("in");
    std::vector<t::Child> children;
    for (int i = 0; i < 3; ++i)
        children.push_back(t::spawnNamed(dir.path(), name));

    std::vector<long> found;
    for (const auto& p : walkFor(name).processes)
        found.push_back(p.pid());
    std::sort(found.begin(), found.end());
    std::vector<long> spawned;
    for (const auto& c : children)
        spawned.push_back(c.pid());
    std::sort(spawned.begin(), spawned.end());
    EXPECT_EQ(found, spawned);
}

TEST(ProcessNames, ZombieNeverMatches)
{
    const t::TempDir dir;
    const std::string name = t::uniqueName("zo");
    t::Child child = t::spawnNamed(dir.path(), name, {"--exit-after-ms", "0"});
    ASSERT_TRUE(child.waitZombie());
    EXPECT_FALSE(opens(name, child.pid()));
}

// Under whatever name the calling process runs, it never finds itself.
TEST(ProcessNames, NeverTheCallingProcess)
{
    if (::syscall(SYS_gettid) != ::getpid())
        GTEST_SKIP() << "not on the main thread: cannot rename the process";
    const t::TempDir dir;
    const std::string name = t::uniqueName("se");
    t::Child child = t::spawnNamed(dir.path(), name);

    const std::string ownName = commOf("/proc/self");
    ASSERT_EQ(::prctl(PR_SET_NAME, name.c_str()), 0);
    const auto found = walkFor(name).processes;
    ::prctl(PR_SET_NAME, ownName.c_str());

    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].pid(), child.pid());
}

TEST(ProcessNames, EmptyNameFindsNothing)
{
    const auto walk = walkFor("");
    EXPECT_TRUE(walk.processes.empty());
    EXPECT_TRUE(walk.unopenable.empty());
    EXPECT_FALSE(walk.more);
}

}  // namespace
