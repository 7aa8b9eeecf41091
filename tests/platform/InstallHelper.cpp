// A second process for the install transaction's tests.
//
//   hold-lock <target>
//       locks the installation of <target> the way an updater does, writes
//       one byte to fd 3 once it holds the lock, then waits to be killed.
//   fill <target>
//       installs, unsigned, a new program as large as the free space of its
//       disk less 1000 bytes. Exit 0 on success, 1 when the install failed.
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/FileReplacement.h"

namespace {

int holdLock(const char* target)
{
    adv::platform::ReplaceResult why;
    auto installation = adv::platform::FileReplacement::open(target, why);
    if (!installation || !(why = installation->lock())) {
        std::fprintf(stderr, "%s\n", why.detail.c_str());
        return 2;
    }
    (void)!::write(3, "R", 1);
    for (;;)
        ::pause();
}

int fill(const char* target)
{
    adv::platform::ReplaceResult why;
    auto installation = adv::platform::FileReplacement::open(target, why);
    struct statvfs disk {};
    if (!installation || !(why = installation->lock()) || !(why = installation->begin()) ||
        ::statvfs(target, &disk) != 0) {
        std::fprintf(stderr, "%s\n", why.detail.c_str());
        return 2;
    }
    const std::vector<char> bytes(disk.f_bavail * disk.f_frsize - 1000, 'F');
    if (!(why = installation->write(bytes.data(), bytes.size())) || !(why = installation->commit({}))) {
        std::fprintf(stderr, "%s\n", why.detail.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc == 3 ? argv[1] : "";
    if (mode == "hold-lock")
        return holdLock(argv[2]);
    if (mode == "fill")
        return fill(argv[2]);
    std::fprintf(stderr, "usage: %s hold-lock|fill TARGET\n", argv[0]);
    return 64;
}
