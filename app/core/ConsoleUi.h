// The update and roll-back commands without a window: the log goes to
// stdout, line by line, as the window's log would show it.
#pragma once

#include <QString>

#include <cstdio>

#include "app/core/UpdateUi.h"

namespace adv {

// One line to `to`. A reader that went away (`--update | head -n 1`) must
// not stop the program, so a failed write is let go.
void printLine(std::FILE* to, const QString& line);

class ConsoleUi final : public UpdateUi {
public:
    // From here on Ctrl+C, SIGTERM and SIGHUP stop the command at its next
    // wait on the server rather than the program.
    ConsoleUi();
    void setPointer(Pointer) override {}
    bool askYesNo(const QString&, const QString&) override { return true; }
    void showBusyLabel() override {}
    void AppendStatus(const QString& message) override;
    void downloadProgress(std::int64_t, std::int64_t) override {}
    void downloadEnded() override {}
    bool stopRequested() override;
};

}  // namespace adv
