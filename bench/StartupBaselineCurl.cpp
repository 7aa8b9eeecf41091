// adv_startup_baseline with libcurl linked and set up before the window, as
// a program does that links it: what the updater saves by loading libcurl
// only when its first FTP session opens.
#include <QApplication>
#include <QWidget>

#include <curl/curl.h>

#include "bench/StartupFirstPaint.h"

int main(int argc, char** argv)
{
    // Linked libraries are loaded before main; curl_global_init is the rest.
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QApplication app(argc, argv);
    QWidget window;
    window.resize(937, 520);
    adv::bench::FirstPaintReporter reporter;
    window.installEventFilter(&reporter);
    window.show();
    return QApplication::exec();
}
