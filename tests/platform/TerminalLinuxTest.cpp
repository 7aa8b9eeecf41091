// Asked for a password on a terminal of its own (a pty), the program gives
// the terminal back echoing, however the question ends.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <thread>

#include "platform/Terminal.h"

namespace {

bool echoes(int tty)
{
    termios mode{};
    return ::tcgetattr(tty, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
}

bool within10s(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

TEST(Terminal, EchoesAgainHoweverTheQuestionEnds)
{
    const struct {
        const char* typed;
        int endedBy;  // the signal; 0: answered
    } rows[] = {{"segreto\n", 0}, {"seg\x1c", SIGQUIT}, {"\x03", SIGINT}};
    for (const auto& row : rows) {
        int pty = -1, tty = -1;
        ASSERT_EQ(::openpty(&pty, &tty, nullptr, nullptr, nullptr), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const rlimit noCore{0, 0};
            ::setrlimit(RLIMIT_CORE, &noCore);
            ::setsid();
            ::ioctl(tty, TIOCSCTTY, 0);
            ::dup2(tty, STDIN_FILENO);
            const std::optional<std::string> answer = adv::platform::readSecret("Password: ");
            ::_exit(answer == "segreto" ? 0 : 1);
        }
        ASSERT_TRUE(within10s([tty] { return !echoes(tty); })) << "no question asked";
        ASSERT_EQ(::write(pty, row.typed, std::char_traits<char>::length(row.typed)),
                  std::char_traits<char>::length(row.typed));
        int status = 0;
        bool ended = false;
        EXPECT_TRUE(within10s([&] { return ended = ended || ::waitpid(child, &status, WNOHANG) == child; }));
        EXPECT_EQ(row.endedBy == 0 ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                                   : WIFSIGNALED(status) && WTERMSIG(status) == row.endedBy,
                  true)
            << row.typed << ": " << status;
        EXPECT_TRUE(echoes(tty)) << row.typed;
        ::close(pty);
        ::close(tty);
    }
}

}  // namespace
