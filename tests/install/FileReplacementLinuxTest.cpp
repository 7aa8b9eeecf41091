// The install transaction where only Linux can set the scene: another owner,
// a FIFO, a full disk.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "install/FileReplacement.h"
#include "tests/support/Spawn.h"

namespace {

using namespace adv::platform;
using namespace adv::install;

struct Installed {
    adv::test::TempDir dir;
    std::string target = dir.file("dolvo.exe");
    Installed() { std::ofstream(target) << "MZ installata"; }
    std::unique_ptr<FileReplacement> open(ReplaceResult& locked) const
    {
        Opened opened = FileReplacement::open(target);
        locked = opened.replacement ? opened.replacement->lock() : opened.result;
        return std::move(opened.replacement);
    }
};

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

// A cut download that another user owns could hold their bytes.
TEST(TransactionLinux, ACutDownloadOfAnotherOwnerStartsAfresh)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give the kept download another owner";
    Installed in;
    std::ofstream(in.dir.file(".dolvo.exe.part-ab")) << "MZ n";
    ASSERT_EQ(::chown(in.dir.file(".dolvo.exe.part-ab").c_str(), 65534, 65534), 0);
    ReplaceResult locked;
    auto replacement = in.open(locked);
    const Resumable release{"ab", 8};
    ASSERT_TRUE(locked && replacement->begin(&release));
    EXPECT_EQ(replacement->held(), 0);
}

// A run that ends during the download, however it ends (its display gone,
// killed), leaves no partial program: it has no name until it is whole.
TEST(TransactionLinux, AProgramBeingWrittenHasNoNameUntilItIsWhole)
{
    Installed in;
    ReplaceResult locked;
    auto replacement = in.open(locked);
    ASSERT_TRUE(locked && replacement->begin() && replacement->write("MZ a metà", 10));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(in.dir.path()), {}), 2) << "beside it and its lock";
}

// An updater that may not write in the folder fails, and touches nothing.
TEST(TransactionLinux, AFolderThatMayNotBeWrittenFailsTheUpdate)
{
    Installed in;
    const bool root = ::geteuid() == 0;
    ASSERT_EQ(::chmod(in.dir.path().c_str(), root ? 0755 : 0555), 0);
    if (root) {
        ASSERT_EQ(::seteuid(65534), 0);  // root writes anywhere; "nobody" may not
    }
    ReplaceResult locked;
    auto replacement = in.open(locked);
    const bool begun = locked && replacement->begin();
    if (root) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    ::chmod(in.dir.path().c_str(), 0755);
    EXPECT_FALSE(begun) << locked.detail;
    std::ifstream program(in.target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(program), {}), "MZ installata");
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
// before the program is replaced. The disk is a small tmpfs, mounted in a
// mount namespace of this test process's own.
TEST(TransactionLinux, ADiskWithoutRoomForTheRecordFailsBeforeTheProgramMoves)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, for a small tmpfs in a private mount namespace";
    Installed in;
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(::mount("tmpfs", in.dir.path().c_str(), "tmpfs", 0, "size=512k"), 0);
    std::ofstream(in.target) << "MZ installata";

    ReplaceResult why;
    auto replacement = in.open(why);
    struct statvfs disk {};
    ASSERT_TRUE(why && replacement->begin() && ::statvfs(in.target.c_str(), &disk) == 0);
    const std::vector<char> filling(disk.f_bavail * disk.f_frsize - 1000, 'F');
    ASSERT_TRUE(replacement->write(filling.data(), filling.size()));
    why = replacement->commit({});
    EXPECT_EQ(why.status, ReplaceStatus::Failed);
    EXPECT_NE(why.detail.find("release record"), std::string::npos) << why.detail;
    EXPECT_NE(why.detail.find("No space left on device"), std::string::npos) << why.detail;
    replacement.reset();
    std::ifstream program(in.target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(program), {}), "MZ installata");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(in.dir.path()))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"dolvo.exe"}) << "a temporary file or the lock was left";
    ::umount(in.dir.path().c_str());
}

}  // namespace
