#include "app/core/ConsoleUi.h"

#include <utility>

#include "app/core/StatusLog.h"
#include "platform/ConsoleSignals.h"
#include "platform/Terminal.h"

namespace adv {

void printLine(std::FILE* to, const QString& line)
{
    const QByteArray utf8 = printable(line, true).toUtf8();
    platform::writeLine(to, std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    std::clearerr(to);
}

ConsoleUi::ConsoleUi(std::function<void(int percent)> progress)
    : progress_(platform::isTerminal(stderr) ? std::move(progress) : nullptr)
{
    platform::installConsoleSignalHandlers();
}

void ConsoleUi::downloadProgress(std::int64_t received, std::int64_t total)
{
    const std::int64_t tenth = total > 0 ? received * 10 / total : -1;
    if (progress_ && tenth > shown_) {
        shown_ = tenth;
        progress_(static_cast<int>(tenth * 10));
    }
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
