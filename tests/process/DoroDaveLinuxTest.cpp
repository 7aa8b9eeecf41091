// Wine programs of another user, on displays of that user's choosing: fake X
// servers of the test's own (tests/support/fake_x_server.py), and an idler
// run as a file named wine64, which the process table takes for Wine.
#include "process/DoroDave.h"
#include "tests/support/Spawn.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

namespace {

using namespace std::chrono_literals;
namespace t = adv::test;

std::vector<std::string> linesOf(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

t::Child run(const std::string& program, std::vector<std::string> args)
{
    t::SpawnOptions options;
    options.program = program;
    options.args = std::move(args);
    return t::spawn(options);
}

struct FakeDisplay {
    FakeDisplay(const std::string& dir, const std::string& mode, const std::string& where)
        : record(dir + "/" + t::uniqueName(mode, "")),
          server(run("/usr/bin/python3", {ADV_FAKE_X_SERVER, mode, where, "700", record}))
    {
        display = (where == "tcp" ? "127.0.0.1:" : ":") + linesOf(record).at(0);
    }
    std::string record;
    t::Child server;
    std::string display;
};

// An authority file holding `cookie` for the display, owned by `owner`.
std::string authority(const std::string& path, const FakeDisplay& x, const std::string& cookie, uid_t owner)
{
    const std::string number = x.display.substr(x.display.rfind(':') + 1);
    std::ofstream(path) << std::string("\xff\xff\0\0\0", 5) << char(number.size()) << number
                        << std::string("\0\x12MIT-MAGIC-COOKIE-1\0", 21) << char(cookie.size()) << cookie;
    EXPECT_EQ(::chown(path.c_str(), owner, owner) | ::chmod(path.c_str(), 0600), 0);
    return path;
}

// A Wine program named `name` with the environment `env`, run as nobody when asked.
t::Child wineProgram(const std::string& dir, const std::string& name, std::vector<std::string> env, bool nobody)
{
    std::vector<std::string> args = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/usr/bin/env", "-i"};
    args.erase(args.begin(), args.begin() + (nobody ? 0 : 4));
    args.insert(args.end(), env.begin(), env.end());
    if (::access((dir + "/wine64").c_str(), X_OK) != 0)
        t::installAs(t::childProgram(), dir, "wine64");
    for (const std::string& arg : {dir + "/wine64", std::string("--comm"), name})
        args.push_back(arg);
    return run(nobody ? "/usr/bin/setpriv" : "/usr/bin/env", args);
}

// Root asks another user's program with that user's rights and cookie only:
// never root's own (in XAUTHORITY, where libxcb would look), never through a
// link, never from a FIFO, which is not even opened. A display that refuses
// or sends a setup claiming more than it holds leaves the program not asked.
TEST(TerminateWine, AnotherUsersProgramIsAskedWithItsRightsAndOnlyItsCookie)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the fault is root asking another user's program";
    const t::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const struct {
        const char* mode;
        const char* where;
        const char* auth;  // what the program's XAUTHORITY names
        const char* recorded;
    } rows[] = {
        {"record", "tcp", "", "uid=- name= data="},
        {"record", "abstract", "", "uid=65534 name= data="},
        {"record", "abstract", "own",
         "uid=65534 name=4d49542d4d414749432d434f4f4b49452d31 data=6e6e6e6e6e6e6e6e6e6e6e6e6e6e6e6e"},
        {"record", "abstract", "link", "uid=65534 name= data="},
        {"record", "abstract", "fifo", "uid=65534 name= data="},
        {"malformed", "abstract", "", nullptr},
    };
    for (const auto& row : rows) {
        const FakeDisplay x(dir.path(), row.mode, row.where);
        ::setenv("XAUTHORITY", authority(dir.file("root"), x, std::string(16, 'r'), 0).c_str(), 1);
        const std::string ownFile = authority(dir.file("own"), x, std::string(16, 'n'), 65534);
        ::unlink(dir.file("link").c_str());
        ::unlink(dir.file("fifo").c_str());
        ASSERT_EQ(::symlink(ownFile.c_str(), dir.file("link").c_str()) | ::mkfifo(dir.file("fifo").c_str(), 0666), 0);
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(watch, dir.file("fifo").c_str(), IN_OPEN), 0);

        const std::string name = t::uniqueName("xa");
        t::Child program = wineProgram(
            dir.path(), name,
            {"DISPLAY=" + x.display, std::string("XAUTHORITY=") + (*row.auth ? dir.file(row.auth) : "")}, true);
        const adv::TerminateReport r = adv::TerminateProcessesByName(name, 10s);
        ::unsetenv("XAUTHORITY");

        ASSERT_EQ(r.unasked.size(), 1U) << row.mode << " " << row.auth;
        EXPECT_EQ(r.unasked[0].pid, program.pid());
        EXPECT_TRUE(program.waitExit(0ms) && program.killedBy(SIGKILL)) << program.describe();
        const std::vector<std::string> recorded = linesOf(x.record);
        EXPECT_EQ(recorded.size() == 2 ? recorded[1] : "", row.recorded ? row.recorded : "")
            << row.where << " " << row.auth;
        char event[sizeof(inotify_event) + 256];
        EXPECT_LT(::read(watch, event, sizeof event), 0) << "the FIFO was opened";
        ::close(watch);
    }
}

// Displays that never answer cost one grace in all: every program is asked at
// once, and at the deadline the askers are stopped and their programs ended.
TEST(TerminateWine, SilentDisplaysAreAskedAllAtOnce)
{
    const t::TempDir dir;
    const FakeDisplay x(dir.path(), "silent", "abstract");
    const std::string name = t::uniqueName("sd");
    std::vector<t::Child> programs;
    for (int i = 0; i < 30; ++i)
        programs.push_back(wineProgram(dir.path(), name, {"DISPLAY=" + x.display}, false));

    const adv::TerminateReport r = adv::TerminateProcessesByName(name, 4s);
    EXPECT_EQ(r.forced, 30);
    EXPECT_EQ(r.unasked.size(), 30U);
    EXPECT_EQ(linesOf(x.record).back(), "open=30") << "not all of them were being asked at the same time";
}

}  // namespace
