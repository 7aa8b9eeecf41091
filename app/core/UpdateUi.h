// What a command (an update, a roll-back, a publish) needs of the window or
// the console.
#pragma once

#include <QString>

#include <cstdint>

namespace adv {

// Mouse pointer codes of the window.
enum class Pointer { Arrow = 1, Hourglass = 11 };

class UpdateUi {
public:
    virtual ~UpdateUi() = default;
    virtual void setPointer(Pointer pointer) = 0;
    // The Yes/No question, No the default; true for Yes.
    virtual bool askYesNo(const QString& prompt, const QString& title) = 0;
    // Shows the busy label and paints it at once.
    virtual void showBusyLabel() = 0;
    virtual void AppendStatus(const QString& message) = 0;
    // Download progress; total < 0 when the size is unknown.
    virtual void downloadProgress(std::int64_t received, std::int64_t total) = 0;
    // The download has ended, well or not: the progress goes.
    virtual void downloadEnded() = 0;
    // Asked again and again while the command waits on the server: the
    // window handles what happened meanwhile (paints, the operator's clicks)
    // and says whether the operator asked to stop.
    virtual bool stopRequested() = 0;
};

// Every way out of a command puts the arrow back.
class PointerGuard {
public:
    explicit PointerGuard(UpdateUi& ui) : ui_(ui) { ui_.setPointer(Pointer::Hourglass); }
    ~PointerGuard() { ui_.setPointer(Pointer::Arrow); }
    PointerGuard(const PointerGuard&) = delete;
    PointerGuard& operator=(const PointerGuard&) = delete;

private:
    UpdateUi& ui_;
};

}  // namespace adv
