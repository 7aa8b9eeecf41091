// A second process for the FTP session's tests.
//
//   hold-lock <lock file>
//       takes the update lock the way an updater does, writes one byte to fd 3
//       once it holds it, then waits to be killed.
//   fetch <port> <remote folder> <remote file> <target>
//       one whole update (open, enter, fetch, close) against 127.0.0.1; the
//       account comes from ADV_FTP_TEST_USER / ADV_FTP_TEST_PASSWORD. Exit 0
//       on success, 1 when the fetch failed, 2 when an earlier step did.
#include <QLockFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "platform/FtpSession.h"

namespace {

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int holdLock(const char* path)
{
    QLockFile lock(QString::fromLocal8Bit(path));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0)) {
        std::fprintf(stderr, "cannot take %s\n", path);
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
    options.connectTimeoutS = 5;
    options.stallTimeoutS = 5;
    auto session = adv::platform::makeCurlFtpSession(options);
    session->setHostname("127.0.0.1");
    session->setUsername(env("ADV_FTP_TEST_USER"));
    session->setPassword(env("ADV_FTP_TEST_PASSWORD"));
    session->setPassive(true);
    if (!session->OpenSession() || !session->EnterRemoteFolder(argv[1])) {
        std::fprintf(stderr, "%s\n", session->errorText().c_str());
        return 2;
    }
    if (!session->FetchFile(argv[2], argv[3])) {
        std::fprintf(stderr, "%s\n", session->errorText().c_str());
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
    std::fprintf(stderr, "usage: %s hold-lock FILE | fetch PORT FOLDER NAME TARGET\n", argv[0]);
    return 64;
}
