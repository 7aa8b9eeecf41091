// The log file on a real folder: made where it is missing, appended to, and
// past its bound kept once as .1; never written through what another user
// could have put in its place.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <string>

#include "app/core/RunLog.h"
#include "tests/support/Files.h"

using namespace Qt::StringLiterals;

namespace {

using adv::test::readFile;

TEST(RunLog, GrowsUntilItsBoundThenIsKeptOnceAsDotOne)
{
    QTemporaryDir dir;
    const QString log = dir.filePath(u"nuova/AggiornaDV.log"_s);
    for (const QByteArray& before : {QByteArray(), QByteArray("vecchio"), QByteArray(adv::runlog::kMaxBytes, 'x')}) {
        if (!before.isEmpty()) {
            QFile f(log);
            ASSERT_TRUE(f.open(QIODevice::Append));
            f.write(before);
        }
        ASSERT_EQ(adv::runlog::open(log), std::nullopt);
        adv::runlog::write(u"riga"_s);
    }
    adv::runlog::write(u"una\u2028riga\U000E0001"_s);
    const QByteArray kept = readFile(log + u".1"_s);
    EXPECT_TRUE(kept.count("] riga\n") == 2 && kept.contains("\nvecchio") && kept.endsWith("xxx"))
        << "appended, kept once";
    const QList<QByteArray> lines = readFile(log).split('\n');  // the separator breaks no line
    EXPECT_TRUE(lines.size() == 3 && lines[0].endsWith("] riga") && lines[1].endsWith("] una\\u2028riga\\ue0001"))
        << readFile(log).toStdString();
}

// What another user could put at its place, or make of its folder: refused at
// once, without opening it, and never written through; the run goes on.
TEST(RunLog, IsWrittenOnlyToItsOwnOrdinaryFile)
{
    for (const std::string place : {"link", "fifo", "folder", "folder others may write"}) {
        QTemporaryDir dir;
        const QString log = dir.filePath(u"AggiornaDV.log"_s), elsewhere = dir.filePath(u"altrui"_s);
        ASSERT_TRUE(QFile(elsewhere).open(QIODevice::WriteOnly));
        const bool made = place == "link"     ? QFile::link(elsewhere, log)
                          : place == "fifo"   ? ::mkfifo(qPrintable(log), 0600) == 0
                          : place == "folder" ? QDir().mkdir(log)
                                              : ::chmod(qPrintable(dir.path()), 0777) == 0;
        ASSERT_TRUE(made) << place;
        EXPECT_TRUE(adv::runlog::open(log)) << place;
        adv::runlog::write(u"riga"_s);
        EXPECT_EQ(readFile(elsewhere), QByteArray()) << place;
    }
}

}  // namespace
