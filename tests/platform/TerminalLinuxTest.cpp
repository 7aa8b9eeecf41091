// Asked for a password on a terminal of its own (a pty), the program gives
// the terminal back echoing, however the question ends.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "platform/Terminal.h"

namespace {

bool echoes(int tty)
{
    termios mode{};
    return ::tcgetattr(tty, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
}

TEST(Terminal, EchoesAgainHoweverTheQuestionEnds)
{
    // What is typed, and the signal it sends (0: the line answers).
    const std::pair<const char*, int> rows[] = {{"segreto\n", 0}, {"seg\x1c", SIGQUIT}, {"\x03", SIGINT}};
    for (const auto& [typed, endedBy] : rows) {
        int pty = -1, tty = -1, status = 0;
        ASSERT_EQ(::openpty(&pty, &tty, nullptr, nullptr, nullptr), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            ::setsid();
            ::ioctl(tty, TIOCSCTTY, 0);
            ::_exit(adv::platform::readSecret("Password: ") == "segreto" ? 0 : 1);
        }
        for (int waited = 0; echoes(tty) && waited < 1000; ++waited)
            ::usleep(10000);
        ASSERT_FALSE(echoes(tty)) << "no question asked";
        ASSERT_EQ(::write(pty, typed, std::strlen(typed)), ssize_t(std::strlen(typed)));
        bool ended = false;
        for (int waited = 0; !(ended = ::waitpid(child, &status, WNOHANG) == child) && waited < 1000; ++waited)
            ::usleep(10000);
        if (!ended)
            ::kill(child, SIGKILL), ::waitpid(child, nullptr, 0);
        EXPECT_TRUE(endedBy == 0 ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                                 : WIFSIGNALED(status) && WTERMSIG(status) == endedBy)
            << typed << ": " << status;
        EXPECT_TRUE(echoes(tty)) << typed;
        ::close(pty);
        ::close(tty);
    }
}

}  // namespace
