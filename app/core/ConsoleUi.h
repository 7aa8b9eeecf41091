// The update and roll-back commands without a window: the log goes to
// stdout, line by line, as the window's log would show it.
#pragma once

#include <QString>

#include <cstdint>
#include <cstdio>
#include <functional>

#include "app/core/UpdateUi.h"

namespace adv {

// One line to `to`. A reader that went away (`--update | head -n 1`) must
// not stop the program, so a failed write is let go.
void printLine(std::FILE* to, const QString& line);

class ConsoleUi final : public UpdateUi {
public:
    // From here on Ctrl+C, SIGTERM and SIGHUP stop the command at its next
    // wait on the server rather than the program. `progress` is told how far
    // a transfer has gone, every tenth, when stderr is a terminal: piped, a
    // line on stderr lands anywhere among the status lines of stdout.
    explicit ConsoleUi(std::function<void(int percent)> progress = {});
    void setPointer(Pointer) override {}
    bool askYesNo(const QString&, const QString&) override { return true; }
    void showBusyLabel() override {}
    void AppendStatus(const QString& message) override;
    void downloadProgress(std::int64_t received, std::int64_t total) override;
    void downloadEnded() override { shown_ = 0; }
    bool stopRequested() override;

private:
    std::function<void(int percent)> progress_;
    std::int64_t shown_ = 0;  // in tenths
};

}  // namespace adv
