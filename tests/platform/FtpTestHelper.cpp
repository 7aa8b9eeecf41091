// A second process for the FTP session's tests.
//
//   hold-lock <target>
//       begins a replacement of <target> the way an updater does (lock and
//       temporary file), writes one byte to fd 3 once it holds the lock, then
//       waits to be killed.
//   fetch <port> <remote folder> <remote file> <target>
//       one whole update (open, enter, fetch, close) against 127.0.0.1; the
//       account comes from ADV_FTP_TEST_USER / ADV_FTP_TEST_PASSWORD. Exit 0
//       on success, 1 when the fetch failed, 2 when an earlier step did.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/FileReplacement.h"
#include "platform/FtpClient.h"

namespace {

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int holdLock(const char* path)
{
    adv::platform::FileReplacement replacement(path);
    if (const auto begun = replacement.begin(); !begun) {
        std::fprintf(stderr, "%s\n", begun.detail.c_str());
        return 2;
    }
    (void)!::write(3, "R", 1);
    for (;;)
        ::pause();
}

int fetch(char** argv)
{
    adv::platform::FtpOptions options;
    options.port = std::atoi(argv[0]);
    options.connectTimeout = std::chrono::seconds(5);
    options.stallTimeout = std::chrono::seconds(5);
    auto session = adv::platform::makeCurlFtpClient(options);
    session->setHostname("127.0.0.1");
    session->setUsername(env("ADV_FTP_TEST_USER"));
    session->setPassword(env("ADV_FTP_TEST_PASSWORD"));
    session->setPassive(true);
    adv::platform::FtpResult step = session->OpenSession();
    if (step)
        step = session->EnterRemoteFolder(argv[1]);
    if (!step) {
        std::fprintf(stderr, "%s\n", step.detail.c_str());
        return 2;
    }
    if (const adv::platform::FtpResult fetched = session->FetchFile(argv[2], argv[3]); !fetched) {
        std::fprintf(stderr, "%s\n", fetched.detail.c_str());
        return 1;
    }
    session->CloseSession();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hold-lock" && argc == 3)
        return holdLock(argv[2]);
    if (mode == "fetch" && argc == 6)
        return fetch(argv + 2);
    std::fprintf(stderr, "usage: %s hold-lock TARGET | fetch PORT FOLDER NAME TARGET\n", argv[0]);
    return 64;
}
