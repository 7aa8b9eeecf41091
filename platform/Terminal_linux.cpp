#include "platform/Terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace adv::platform {

std::optional<std::string> readSecret(std::string_view prompt)
{
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    termios before{};
    const bool terminal = tty >= 0 && ::tcgetattr(tty, &before) == 0;
    const int in = terminal ? tty : STDIN_FILENO;
    if (terminal) {
        termios quiet = before;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    (void)!::write(terminal ? tty : STDERR_FILENO, prompt.data(), prompt.size());
    std::optional<std::string> secret = readSecretLine([in]() -> std::optional<char> {
        char c = 0;
        return ::read(in, &c, 1) == 1 ? std::optional<char>(c) : std::nullopt;
    });
    if (terminal) {
        ::tcsetattr(tty, TCSAFLUSH, &before);
        (void)!::write(tty, "\n", 1);
    }
    if (tty >= 0)
        ::close(tty);
    return secret;
}

bool isTerminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

}  // namespace adv::platform
