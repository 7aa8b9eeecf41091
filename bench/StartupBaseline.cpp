// The least a Qt Widgets program does to show a window of the updater's size:
// the yardstick for adv_startup_window. Ends at the first paint.
#include <QApplication>
#include <QWidget>

#include "bench/StartupFirstPaint.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.resize(937, 520);
    adv::bench::FirstPaintReporter reporter;
    window.installEventFilter(&reporter);
    window.show();
    return QApplication::exec();
}
