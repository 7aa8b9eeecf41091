// The least a program linked like the updater (Qt Widgets, libcurl) does to
// show a window of the updater's size: the yardstick for adv_startup_window,
// so that the ratio shows only the updater's own work. Ends at the first
// paint.
#include <QApplication>
#include <QWidget>

#include <curl/curl.h>

#include "bench/StartupFirstPaint.h"

// Taken, never called: keeps libcurl among the libraries the loader maps
// at start, as it is for the updater.
extern "C" {
using CurlVersion = char* (*)();
}
volatile CurlVersion keepCurlLinked = &curl_version;

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
