// adv_startup_baseline with libcurl loaded as the updater loads it: tells
// the FTP library's share of the start-up apart from the window's.
#include <QApplication>
#include <QWidget>

#include <curl/curl.h>

#include "bench/StartupFirstPaint.h"

int main(int argc, char** argv)
{
    // The updater sets libcurl up before its window; do the same here.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QApplication app(argc, argv);
    QWidget window;
    window.resize(937, 520);
    adv::bench::FirstPaintReporter reporter;
    window.installEventFilter(&reporter);
    window.show();
    return QApplication::exec();
}
