// The install transaction where only Linux can set the scene: a second
// updater's process, another owner, a FIFO, a full disk.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "platform/FileReplacement.h"
#include "tests/support/Spawn.h"

namespace {

using namespace adv::platform;

struct Installed {
    adv::test::TempDir dir;
    std::string target = dir.file("dolvo.exe");
    Installed() { std::ofstream(target) << "MZ installata"; }
    std::string program() const
    {
        std::ifstream in(target);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::unique_ptr<FileReplacement> open(ReplaceResult& locked) const
    {
        auto replacement = FileReplacement::open(target, locked);
        if (replacement)
            locked = replacement->lock();
        return replacement;
    }
    adv::test::Child helper(std::vector<std::string> args, bool waitReady) const
    {
        adv::test::SpawnOptions launch;
        launch.program = ADV_INSTALL_HELPER;
        launch.args = std::move(args);
        launch.waitReady = waitReady;
        return adv::test::spawn(launch);
    }
};

TEST(TransactionLinux, ASecondUpdaterMeetsTheLockUntilTheFirstIsGone)
{
    Installed in;
    ReplaceResult locked;
    {
        adv::test::Child other = in.helper({"hold-lock", in.target}, true);  // returns once it holds the lock
        auto replacement = in.open(locked);
        EXPECT_EQ(locked.status, ReplaceStatus::Busy) << locked.detail;
        EXPECT_NE(locked.detail.find("another update"), std::string::npos) << locked.detail;
        other.kill();
    }
    // The holder died without unlocking: the kernel let its lock go.
    auto replacement = in.open(locked);
    EXPECT_EQ(locked.status, ReplaceStatus::Ok) << locked.detail;
}

TEST(TransactionLinux, TheNewProgramKeepsTheInstalledOwnerAndMode)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give the installed file another owner to keep";
    Installed in;
    ASSERT_EQ(::chown(in.target.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(in.target.c_str(), 0750), 0);
    ReplaceResult locked;
    auto replacement = in.open(locked);
    ASSERT_TRUE(locked && replacement->begin() && replacement->write("MZ nuova", 8) && replacement->commit({}));
    struct stat st {};
    ASSERT_EQ(::stat(in.target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
}

// A FIFO in the record's place would hang a reader: it is damage, said at once.
TEST(TransactionLinux, AFifoForARecordIsRefusedWithoutWaiting)
{
    Installed in;
    ASSERT_EQ(::mkfifo(in.dir.file("dolvo.exe.release").c_str(), 0644), 0);
    ReplaceResult locked;
    auto replacement = in.open(locked);
    EXPECT_EQ(locked.status, ReplaceStatus::Damaged) << locked.detail;
}

// A disk with room for the program but not for its record fails the update
// before the program is replaced. The disk is a small tmpfs in a mount
// namespace of the test's own.
TEST(TransactionLinux, ADiskWithoutRoomForTheRecordFailsBeforeTheProgramMoves)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, for a small tmpfs in a private mount namespace";
    Installed in;
    adv::test::TempDir disk;
    adv::test::SpawnOptions launch;
    launch.program = "/usr/bin/unshare";
    launch.args = {"-m",
                   "/bin/sh",
                   "-c",
                   "mount -t tmpfs -o size=512k tmpfs \"$1\" && cp \"$2\" \"$1/dolvo.exe\" || exit 9; "
                   "\"$3\" fill \"$1/dolvo.exe\" 2>\"$4\"; rc=$?; "
                   "cmp -s \"$2\" \"$1/dolvo.exe\" || exit 7; [ \"$(ls -A \"$1\")\" = dolvo.exe ] || exit 8; exit $rc",
                   "sh",
                   disk.path(),
                   in.target,
                   ADV_INSTALL_HELPER,
                   in.dir.file("fill.err")};
    launch.waitReady = false;
    adv::test::Child child = adv::test::spawn(launch);
    ASSERT_TRUE(child.waitExit(std::chrono::seconds(30))) << child.describe();
    EXPECT_TRUE(child.exitedWith(1)) << "1: failed, with the program as it was and nothing left; " << child.describe();
    std::ifstream why(in.dir.file("fill.err"));
    const std::string said{std::istreambuf_iterator<char>(why), std::istreambuf_iterator<char>()};
    EXPECT_NE(said.find("release record"), std::string::npos) << said;
    EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
}

}  // namespace
