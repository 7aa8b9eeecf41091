// A small program for tests to start under whatever name they need. It sets
// itself up as told, reports readiness, then idles until a signal ends it.
//
//   --comm NAME          set the process name (PR_SET_NAME), as Wine does
//   --on-term exit       exit with status 0 on SIGTERM
//   --on-term ignore     ignore SIGTERM
//   --on-term marker:P   on SIGTERM create file P, then exit with status 0
//   --exit-after-ms N    exit by itself with status 0 after N ms
//   --life S             end by SIGALRM after S seconds (default 120), so a
//                        test that crashed leaves nothing behind for long
//   --note TEXT          ignored: puts TEXT on the command line
//
// Readiness: when fd 3 is a pipe, one byte "R" is written to it once all of
// the above is in place, and fd 3 is closed.
//
// Plain C calls only: the program stays small, so that a benchmark can start
// thousands of copies.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char* gMarker = nullptr;

extern "C" void exitOnTerm(int)
{
    _exit(0);
}

extern "C" void markAndExit(int)
{
    const int fd = open(gMarker, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const char text[] = "closed\n";
        [[maybe_unused]] const ssize_t n = write(fd, text, sizeof text - 1);
        close(fd);
    }
    _exit(0);
}

void handle(int sig, void (*fn)(int))
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

[[noreturn]] void usage(const char* what)
{
    const char prefix[] = "adv_spawn_child: bad argument: ";
    [[maybe_unused]] ssize_t n = write(2, prefix, sizeof prefix - 1);
    n = write(2, what, std::strlen(what));
    n = write(2, "\n", 1);
    _exit(2);
}

long number(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0)
        usage(text);
    return value;
}

}  // namespace

int main(int argc, char** argv)
{
    // End with the test that started it (strictly: with the thread that did).
    prctl(PR_SET_PDEATHSIG, SIGKILL);

    long lifeSeconds = 120;
    long exitAfterMs = -1;
    for (int i = 1; i < argc; ++i) {
        const char* opt = argv[i];
        if (i + 1 >= argc)
            usage(opt);
        const char* value = argv[++i];
        if (std::strcmp(opt, "--comm") == 0) {
            prctl(PR_SET_NAME, value);
        } else if (std::strcmp(opt, "--on-term") == 0) {
            if (std::strcmp(value, "exit") == 0) {
                handle(SIGTERM, exitOnTerm);
            } else if (std::strcmp(value, "ignore") == 0) {
                handle(SIGTERM, SIG_IGN);
            } else if (std::strncmp(value, "marker:", 7) == 0) {
                gMarker = value + 7;
                handle(SIGTERM, markAndExit);
            } else {
                usage(value);
            }
        } else if (std::strcmp(opt, "--exit-after-ms") == 0) {
            exitAfterMs = number(value);
        } else if (std::strcmp(opt, "--life") == 0) {
            lifeSeconds = number(value);
        } else if (std::strcmp(opt, "--note") == 0) {
        } else {
            usage(opt);
        }
    }
    alarm(static_cast<unsigned>(lifeSeconds));

    struct stat st;
    if (fstat(3, &st) == 0 && S_ISFIFO(st.st_mode)) {
        [[maybe_unused]] const ssize_t n = write(3, "R", 1);
        close(3);
    }

    if (exitAfterMs >= 0) {
        timespec ts{exitAfterMs / 1000, (exitAfterMs % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
        return 0;
    }
    for (;;)
        pause();
}
