// Opens the real window on a configuration, runs the update command with the
// question answered "Sì" through the real box, and saves the window as a PNG.
// Used by the demo, to show the operator's view of an unattended update.
//   adv_window_shot --config FILE --output FILE.png
#include <QAbstractButton>
#include <QApplication>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

#include "app/window/AggiornaDolvo.h"
#include "app/window/WindowProcess.h"
#include "app/core/Config.h"
#include "app/site/ProcessTerminator.h"
#include "app/site/UpdateCommand.h"

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption config(u"config"_s, u"configuration"_s, u"FILE"_s);
    const QCommandLineOption output(u"output"_s, u"PNG to write"_s, u"FILE"_s);
    parser.addOptions({config, output});
    parser.process(app);

    const adv::ConfigResult loaded = adv::loadConfig(parser.value(config));
    if (!loaded.config) {
        std::fprintf(stderr, "%s\n", qPrintable(loaded.cause.text));
        return 78;
    }
    adv::prepareWindowProcess();
    adv::ProcessTerminator terminator(loaded.config->closeGrace);
    auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(*loaded.config));
    adv::AggiornaDolvo window(*loaded.config, *ftp, terminator);
    window.load();
    window.show();

    // Answer the question the way an operator would: press "Sì".
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            if (QAbstractButton* yes = box->button(QMessageBox::Yes))
                yes->click();
    });
    answer.start(50);

    int status = 1;
    QTimer::singleShot(300, &window, [&] {
        window.runUpdateCommand();
        answer.stop();
        QTimer::singleShot(300, &window, [&] {
            status = window.grab().save(parser.value(output), "PNG") ? 0 : 1;
            app.quit();
        });
    });
    QTimer::singleShot(120000, &app, [&] { app.exit(2); });
    const int loop = app.exec();
    return loop != 0 ? loop : status;
}
