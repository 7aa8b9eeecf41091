#include "platform/Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>

namespace adv::platform {
namespace {

// Every signal the terminal or a kill may send while echo is off: those
// that end the program and those that stop it would otherwise leave the
// shell a terminal that does not echo what is typed.
constexpr std::array kCaught{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};

volatile std::sig_atomic_t arrived = 0;

extern "C" void onSignal(int signal)
{
    arrived = signal;
}

bool stops(int signal)
{
    return signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

// Echo off while it lives. The signals above are held back but for the wait
// on the terminal, which they end, so none comes between a look at the flag
// and the wait; when it goes, the terminal is put back first, then the
// signal goes on to whatever handled it before: the program's own flag, or
// the signal's default (the program ends or stops, echoing again).
class Quiet {
public:
    Quiet(int tty, const termios& before) : tty_(tty), before_(before)
    {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : kCaught)
            sigaddset(&held, signal);
        ::sigprocmask(SIG_BLOCK, &held, &mask_);
        struct sigaction action {};
        action.sa_handler = &onSignal;
        sigemptyset(&action.sa_mask);
        arrived = 0;
        for (std::size_t i = 0; i < kCaught.size(); ++i)
            ::sigaction(kCaught[i], &action, &previous_[i]);
        termios quiet = before;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;
    ~Quiet()
    {
        ::tcsetattr(tty_, TCSAFLUSH, &before_);
        (void)!::write(tty_, "\n", 1);
        for (std::size_t i = 0; i < kCaught.size(); ++i)
            ::sigaction(kCaught[i], &previous_[i], nullptr);
        if (arrived != 0)
            ::raise(arrived);
        ::sigprocmask(SIG_SETMASK, &mask_, nullptr);
    }

    // A byte typed; nothing at the terminal's end or once a signal came.
    std::optional<char> next()
    {
        pollfd wait{tty_, POLLIN, 0};
        int ready = -1;
        while (arrived == 0 && ready < 0) {
            ready = ::ppoll(&wait, 1, nullptr, &mask_);
            if (ready < 0 && errno != EINTR)
                return std::nullopt;
        }
        char c = 0;
        return arrived == 0 && ::read(tty_, &c, 1) == 1 ? std::optional<char>(c) : std::nullopt;
    }
    int signal() const { return arrived; }

private:
    int tty_;
    termios before_;
    sigset_t mask_{};
    std::array<struct sigaction, kCaught.size()> previous_{};
};

}  // namespace

std::optional<std::string> readSecret(std::string_view prompt)
{
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    termios before{};
    if (tty < 0 || ::tcgetattr(tty, &before) != 0) {
        if (tty >= 0)
            ::close(tty);
        (void)!::write(STDERR_FILENO, prompt.data(), prompt.size());
        return readSecretLine([]() -> std::optional<char> {
            char c = 0;
            return ::read(STDIN_FILENO, &c, 1) == 1 ? std::optional<char>(c) : std::nullopt;
        });
    }
    std::optional<std::string> secret;
    // Stopped (Ctrl+Z) and continued, the question is asked again.
    for (int signal = SIGTSTP; stops(signal); ::tcgetattr(tty, &before)) {
        Quiet quiet(tty, before);
        (void)!::write(tty, prompt.data(), prompt.size());
        secret = readSecretLine([&quiet] { return quiet.next(); });
        signal = quiet.signal();
        if (signal != 0 && secret) {
            std::fill(secret->begin(), secret->end(), '\0');
            secret.reset();
        }
    }
    ::close(tty);
    return secret;
}

bool isTerminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) == 1;
}

}  // namespace adv::platform
