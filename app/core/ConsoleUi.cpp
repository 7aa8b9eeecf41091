#include "app/core/ConsoleUi.h"

#include "app/core/StatusLog.h"
#include "platform/ConsoleSignals.h"

namespace adv {

void printLine(std::FILE* to, const QString& line)
{
    const QByteArray utf8 = printable(line, true).toUtf8();
    platform::writeLine(to, std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
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
