// The whole click path against a real FTP server on 127.0.0.1: DOWNLOAD, the
// real question answered "Sì", the real session, the installed file replaced.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QtTest/QTest>

#include "app/site/UpdateCommand.h"
#include "app/window/FlatColourButton.h"
#include "tests/app/window/WindowSupport.h"
#include "tests/support/FtpServer.h"

using namespace Qt::StringLiterals;

namespace {

TEST(WindowUpdate, ClickPathReplacesTheInstalledProgram)
{
    QTemporaryDir dir;
    const QString drive = dir.filePath(u"drive_c"_s);
    const QString served = dir.filePath(u"ftp/www.zorvanik.it/download"_s);
    QDir().mkpath(drive + u"/DOLVO"_s);
    QDir().mkpath(served);
    const QString installed = drive + u"/DOLVO/Dolvo.exe"_s;  // as Windows might have spelt it
    const QByteArray fresh = QByteArray(200 * 1024, 'N') + "fine";
    for (const auto& [path, bytes] :
         {std::pair{installed, QByteArray("MZ vecchio")}, std::pair{served + u"/dolvo.exe"_s, fresh}}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    adv::test::FtpServerOptions options;
    options.root = dir.filePath(u"ftp"_s);
    adv::test::FtpServer server(options);
    adv::Config config;
    config.root = drive.toStdString();
    config.host = "127.0.0.1";
    config.ftp.port = server.port();
    config.user = options.user;
    config.password = options.password;
    config.showDownload = true;
    config.logFile = dir.filePath(u"AggiornaDV.log"_s);  // the report's state beside it
    auto ftp = adv::platform::makeCurlFtpClient(adv::downloadOptions(config));
    adv::test::RecordingTerminator terminator;
    adv::AggiornaDolvo window(config, *ftp, terminator);
    window.load();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    adv::test::SeenBox seen;
    adv::test::whenModalBoxAppears(seen, [](QMessageBox& box) {
        for (QAbstractButton* b : box.buttons())
            if (b->text() == u"Sì"_s)
                b->click();
    });
    QTest::mouseClick(window.findChild<adv::FlatColourButton*>(u"Command1"_s), Qt::LeftButton);

    EXPECT_TRUE(seen.appeared);
    EXPECT_EQ(seen.title, u"Aggiornamento software"_s);
    EXPECT_EQ(window.statusText(), u"- Collegamento al sito ZORVANIK\r\n- Collegamento riuscito\r\n"
                                   u"- Inizio download programma \r\n- Il programma è stato aggiornato... "_s);
    QFile f(installed);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll() == fresh) << "the installed file was not replaced";
    EXPECT_EQ(QDir(drive + u"/DOLVO"_s).entryList(QDir::Files | QDir::Hidden),
              (QStringList{u"Dolvo.exe"_s, u"Dolvo.exe.prev"_s, u"Dolvo.exe.release"_s, u"Dolvo.exe.server"_s}));
    EXPECT_TRUE(window.findChild<QLabel*>(u"Label4"_s)->isVisible());
    EXPECT_FALSE(window.findChild<QProgressBar*>(u"progressDownload"_s)->isVisible());
    EXPECT_EQ(window.pointer(), adv::Pointer::Arrow);
    EXPECT_TRUE(server.commandLog().contains(u"RETR"_s));
}

}  // namespace
