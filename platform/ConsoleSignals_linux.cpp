#include "platform/ConsoleSignals.h"

#include <csignal>
#include <initializer_list>

namespace adv::platform {
namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int)
{
    interrupted = 1;
}

}  // namespace

void installConsoleSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = &onInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

bool interruptRequested()
{
    return interrupted != 0;
}

void writeLine(std::FILE* to, std::string_view utf8)
{
    std::fwrite(utf8.data(), 1, utf8.size(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

}  // namespace adv::platform
