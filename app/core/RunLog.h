// The log file: what every run did, for whoever asks afterwards. One file
// for the machine's user, appended to by each run, line by line as things
// happen, so a run that is killed leaves what it had done.
#pragma once

#include <QString>

#include <cstdint>

#include "app/core/Failure.h"
#include "app/core/UpdateUi.h"

namespace adv::runlog {

// Where the log goes when the configuration does not say: one file per OS
// (Places_linux.cpp, Places_win.cpp).
QString defaultPath();

// Starts this run's log in `path` (folders made as needed). A file that
// has grown past its bound is first kept as `path`.1, replacing an older
// one. Without a log (refused), write() does nothing.
Refusal open(const QString& path);

// One line, with the time and the process id, written through at once.
void write(const QString& line);

// A file past this bound is rotated when the next run opens it.
inline constexpr qint64 kMaxBytes = 1024 * 1024;

// A command's window or console, and the log file, line for line.
class LoggedUi final : public UpdateUi {
public:
    explicit LoggedUi(UpdateUi& ui) : ui_(ui) {}
    void setPointer(Pointer pointer) override { ui_.setPointer(pointer); }
    bool askYesNo(const QString& prompt, const QString& title) override { return ui_.askYesNo(prompt, title); }
    void showBusyLabel() override { ui_.showBusyLabel(); }
    void AppendStatus(const QString& message) override;
    void downloadProgress(std::int64_t received, std::int64_t total) override { ui_.downloadProgress(received, total); }
    void downloadEnded() override { ui_.downloadEnded(); }
    bool stopRequested() override { return ui_.stopRequested(); }

private:
    UpdateUi& ui_;
};

}  // namespace adv::runlog
