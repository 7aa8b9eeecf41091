// The updater's start-up as the program does it: configuration, Qt's Italian
// texts, the window with all its controls, the start-up sweep, show(). Ends
// at the window's first paint (see StartupFirstPaint.h).
//
//   adv_startup_window <config.ini>
#include <QApplication>

#include <cstdio>

#include "app/window/AggiornaDolvo.h"
#include "app/window/WindowProcess.h"
#include "app/core/Config.h"
#include "app/site/StartupSweep.h"
#include "app/site/ProcessTerminator.h"
#include "app/site/UpdateCommand.h"
#include "bench/StartupFirstPaint.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: adv_startup_window <config.ini>\n");
        return 2;
    }
    const adv::ConfigResult loaded = adv::loadConfig(QString::fromLocal8Bit(argv[1]));
    if (!loaded.config) {
        std::fprintf(stderr, "adv_startup_window: %s\n", qPrintable(loaded.cause.text));
        return 1;
    }
    const adv::Config& config = *loaded.config;

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    adv::prepareWindowProcess();
    adv::ProcessTerminator terminator(config.closeGrace);
    auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(config));
    adv::AggiornaDolvo window(config, *ftp, terminator);
    adv::bench::FirstPaintReporter reporter;
    window.installEventFilter(&reporter);
    window.load();
    window.show();
    return QApplication::exec();
}
