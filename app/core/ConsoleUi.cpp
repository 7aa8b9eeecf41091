#include "app/core/ConsoleUi.h"

#include "app/core/StatusLog.h"
#include "platform/ConsoleSignals.h"

namespace adv {

void printLine(std::FILE* to, const QString& line)
{
    std::fputs(line.toUtf8().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
    std::clearerr(to);
}

ConsoleUi::ConsoleUi()
{
    platform::installConsoleSignalHandlers();
}

void ConsoleUi::AppendStatus(const QString& message)
{
    printLine(stdout, statusLine(message));
}

bool ConsoleUi::stopRequested()
{
    return platform::interruptRequested();
}

}  // namespace adv
