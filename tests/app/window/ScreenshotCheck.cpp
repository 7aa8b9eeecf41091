// Shows the real window on a real X server (Xvfb, under with-x-server.sh), captures
// the screen to a PNG and checks a few pixels of it.
//
//   adv_gui_screenshot <output.png>
//
// Exit status 0 when every check holds; the PNG is written either way.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>

#include "app/window/AggiornaDolvo.h"
#include "app/window/WindowProcess.h"
#include "app/core/Config.h"
#include "app/window/FlatColourButton.h"
#include "tests/app/window/WindowSupport.h"

using namespace Qt::StringLiterals;

namespace {

int failures = 0;

void check(bool ok, const QString& what)
{
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", qPrintable(what));
    if (!ok)
        ++failures;
}

QString rgb(QRgb c)
{
    return u"(%1, %2, %3)"_s.arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c));
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: adv_gui_screenshot <output.png>\n");
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    if (QGuiApplication::platformName() != u"xcb"_s) {
        std::fprintf(stderr, "adv_gui_screenshot: needs the xcb platform (run it under with-x-server.sh), got %s\n",
                     qPrintable(QGuiApplication::platformName()));
        return 2;
    }

    // Built as the program builds it, on an empty drive: no product ticked,
    // nothing closed (the doubles close nothing real).
    adv::prepareWindowProcess();
    adv::test::WindowStage stage;
    QCursor::setPos(0, 0);  // keep the pointer off the buttons
    auto window = stage.window();
    window->load();
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get(), 10000)) {
        std::fprintf(stderr, "adv_gui_screenshot: the window was never shown\n");
        return 1;
    }
    QTest::qWait(300);  // let the X server finish drawing

    QScreen* screen = window->screen();
    const QImage shot = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    QDir().mkpath(QFileInfo(output).absolutePath());
    if (!shot.save(output)) {
        std::fprintf(stderr, "adv_gui_screenshot: cannot write %s\n", qPrintable(output));
        return 1;
    }
    std::printf("screenshot: %s\n", qPrintable(QFileInfo(output).absoluteFilePath()));

    const qreal ratio = screen->devicePixelRatio();
    const QPoint origin = window->mapToGlobal(QPoint(0, 0)) - screen->geometry().topLeft();
    const auto at = [&](QPoint p) {
        const QPoint q = ((origin + p).toPointF() * ratio).toPoint();
        return shot.pixel(q);
    };

    // Centred on the screen (Xvfb has no window manager to move it).
    const QPoint offCentre = window->geometry().center() - screen->availableGeometry().center();
    check(std::abs(offCentre.x()) <= 1 && std::abs(offCentre.y()) <= 1,
          u"client area centred: off by %1,%2"_s.arg(offCentre.x()).arg(offCentre.y()));
    check(window->size() == QSize(937, 520), u"client area %1 x %2"_s.arg(window->width()).arg(window->height()));

    // The picture, unscaled, at the client area's top-left.
    const QImage picture = QImage(u":/aggiornadv/background.png"_s).convertToFormat(QImage::Format_RGB32);
    for (const QPoint p : {QPoint(5, 60), QPoint(202, 168), QPoint(120, 280), QPoint(390, 400)}) {
        check(at(p) == picture.pixel(p), u"picture pixel at %1,%2: %3, expected %4"_s.arg(p.x()).arg(p.y()).arg(
                                             rgb(at(p)), rgb(picture.pixel(p))));
    }

    // USCITA's face, away from its caption and edge.
    const QRect uscita = window->findChild<adv::FlatColourButton*>(u"Command2"_s)->geometry();
    for (const QPoint p : {uscita.topLeft() + QPoint(8, 8), uscita.bottomRight() - QPoint(8, 8)}) {
        check(at(p) == qRgb(182, 209, 245), u"USCITA face at %1,%2: %3"_s.arg(p.x()).arg(p.y()).arg(rgb(at(p))));
    }

    // The log's yellowish background.
    const QRect log = window->findChild<QPlainTextEdit*>(u"txtStatus"_s)->geometry();
    const QPoint inLog = log.topLeft() + QPoint(log.width() / 2, log.height() / 2);
    check(at(inLog) == qRgb(255, 255, 192), u"log background: %1"_s.arg(rgb(at(inLog))));

    // No yellow where the hidden busy label would be.
    const QRect busy = window->findChild<QLabel*>(u"Label4"_s)->geometry();
    int yellow = 0;
    for (int y = busy.top(); y <= busy.bottom(); ++y)
        for (int x = busy.left(); x <= busy.right(); ++x)
            if (at(QPoint(x, y)) == qRgb(255, 255, 0))
                ++yellow;
    check(yellow == 0, u"yellow pixels where the hidden busy label stands: %1"_s.arg(yellow));

    // DOWNLOAD is hidden: its place shows no face colour.
    const QRect download = window->findChild<adv::FlatColourButton*>(u"Command1"_s)->geometry();
    const QPoint inDownload = download.topLeft() + QPoint(8, 8);
    check(at(inDownload) != qRgb(182, 209, 245), u"no DOWNLOAD face: %1"_s.arg(rgb(at(inDownload))));

    std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks failed");
    return failures == 0 ? 0 : 1;
}
