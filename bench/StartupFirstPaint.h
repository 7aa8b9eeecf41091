// Shared by the two start-up programs: report the first paint of a widget
// and end the process there.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace adv::bench {

// Prints "first-paint <CLOCK_MONOTONIC nanoseconds>" when the watched widget
// is first painted, then ends the process at once: what comes after the first
// paint is not start-up.
class FirstPaintReporter final : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("first-paint %lld\n", static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec);
            std::fflush(stdout);
            std::_Exit(0);
        }
        return false;
    }
};

}  // namespace adv::bench
