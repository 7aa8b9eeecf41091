// Wine programs on displays of their user's choosing: fake X servers of the
// test's own (tests/support/fake_x_server.py), and the idler run from a file
// named wine64, which the process table takes for Wine.
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
using Lines = std::vector<std::string>;

Lines linesOf(const std::string& path)
{
    std::ifstream in(path);
    Lines lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

t::Child run(const std::string& program, const Lines& args)
{
    return t::spawn({.program = program, .args = args, .argv0 = {}});
}

struct FakeDisplay {
    FakeDisplay(const std::string& dir, const std::string& mode, const std::string& where)
        : record(dir + "/" + t::uniqueName(mode, "")),
          server(run("/usr/bin/python3", {ADV_FAKE_X_SERVER, mode, where, "700", record})),
          number(linesOf(record).at(0)),
          display((where == "tcp" ? "127.0.0.1:" : ":") + number)
    {
    }
    std::string record;
    t::Child server;
    std::string number, display;
};

// A Wine program `name` with environment `env`, run through `as` (setpriv
// for another user, unshare for root in a container), else as this process.
t::Child wineProgram(const std::string& dir, const std::string& name, Lines env, Lines as = {})
{
    if (::access((dir + "/wine64").c_str(), X_OK) != 0)
        t::installAs(t::childProgram(), dir, "wine64");
    env.insert(env.begin(), "-i");
    env.insert(env.end(), {dir + "/wine64", "--comm", name});
    as.emplace_back("/usr/bin/env");
    as.insert(as.end(), env.begin(), env.end());
    return run(as.front(), Lines(as.begin() + 1, as.end()));
}

// Root asks another user's program with that user's rights and cookie only:
// never root's own (in XAUTHORITY, where libxcb looks when given none), never
// through a link, nor from a FIFO, which is not even opened. A refusing
// display leaves it not asked, and root's own program in a container too.
TEST(TerminateWine, AnotherUsersProgramIsAskedWithItsRightsAndOnlyItsCookie)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the fault is root asking another user's program";
    const t::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const char* cookie = "uid=65534 name=4d49542d4d414749432d434f4f4b49452d31 data=6f6f6f6f6f6f6f6f6f6f6f6f6f6f6f6f";
    const struct {
        const char *mode, *where, *auth, *recorded;  // auth: what the program's XAUTHORITY names
    } rows[] = {
        {"record", "tcp", "", "uid=- name= data="},
        {"record", "abstract", "", "uid=65534 name= data="},
        {"record", "abstract", "own", cookie},
        {"record", "abstract", "link", "uid=65534 name= data="},
        {"record", "abstract", "fifo", "uid=65534 name= data="},
        {"record", "abstract", "container", nullptr},  // root's own, in a world of its own
    };
    for (const auto& row : rows) {
        const FakeDisplay x(dir.path(), row.mode, row.where);
        for (const std::string who : {"root", "own"}) {
            const uid_t owner = who == "own" ? 65534 : 0;
            std::ofstream(dir.file(who)) << std::string("\xff\xff\0\0\0", 5) << char(x.number.size()) << x.number
                                         << std::string("\0\x12MIT-MAGIC-COOKIE-1\0\x10", 22)
                                         << std::string(16, who[0]);
            ASSERT_EQ(::chown(dir.file(who).c_str(), owner, owner) | ::chmod(dir.file(who).c_str(), 0600), 0);
        }
        ::setenv("XAUTHORITY", dir.file("root").c_str(), 1);
        ::unlink(dir.file("link").c_str());
        ::unlink(dir.file("fifo").c_str());
        ASSERT_EQ(::symlink("own", dir.file("link").c_str()) | ::mkfifo(dir.file("fifo").c_str(), 0666), 0);
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(::inotify_add_watch(watch, dir.file("fifo").c_str(), IN_OPEN), 0);

        const std::string name = t::uniqueName("xa");
        const bool container = std::string_view(row.auth) == "container";
        const std::string auth = container ? dir.file("root") : *row.auth ? dir.file(row.auth) : "";
        t::Child program =
            wineProgram(dir.path(), name, {"DISPLAY=" + x.display, "XAUTHORITY=" + auth},
                        container ? Lines{"/usr/bin/unshare", "-m"}
                                  : Lines{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
        const std::string_view names[] = {name};
        const adv::TerminateReport r = adv::TerminateProcessesByName(names, 10s);
        ::unsetenv("XAUTHORITY");

        ASSERT_EQ(r.unasked.size(), 1U) << row.mode << " " << row.auth;
        EXPECT_EQ(r.unasked[0].pid, program.pid());
        EXPECT_TRUE(program.waitExit(0ms) && program.killedBy(SIGKILL)) << program.describe();
        EXPECT_EQ(linesOf(x.record), row.recorded ? (Lines{x.number, row.recorded}) : Lines(1, x.number)) << row.auth;
        char event[sizeof(inotify_event) + 256];
        EXPECT_LT(::read(watch, event, sizeof event), 0) << "the FIFO was opened";
        ::close(watch);
    }
}

// Displays that never answer cost one grace in all: every program is being
// asked at once, and at the deadline the askers are stopped, their programs ended.
TEST(TerminateWine, SilentDisplaysAreAskedAllAtOnce)
{
    const t::TempDir dir;
    const FakeDisplay x(dir.path(), "silent", "abstract");
    const std::string name = t::uniqueName("sd");
    std::vector<t::Child> programs;
    for (int i = 0; i < 30; ++i)
        programs.push_back(wineProgram(dir.path(), name, {"DISPLAY=" + x.display}));

    const std::string_view names[] = {name};
    const adv::TerminateReport r = adv::TerminateProcessesByName(names, 4s);
    EXPECT_EQ(r.forced, 30);
    EXPECT_EQ(r.unasked.size(), 30U);
    EXPECT_EQ(linesOf(x.record).back(), "open=30") << "not all of them were being asked at the same time";
}

}  // namespace
