// The log file on a real folder: made where it is missing, appended to, and
// past its bound kept once as .1; never written through what another user
// could have put in its place.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <functional>

#include "app/core/RunLog.h"

using namespace Qt::StringLiterals;

namespace {

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
        ASSERT_EQ(adv::runlog::open(log), QString());
        adv::runlog::write(u"riga"_s);
    }
    adv::runlog::write(u"una\u2028riga"_s);
    adv::runlog::close();
    const QByteArray kept = contents(log + u".1"_s);
    EXPECT_TRUE(kept.count("] riga\n") == 2 && kept.contains("\nvecchio") && kept.endsWith("xxx"))
        << "appended, kept once";
    const QList<QByteArray> lines = contents(log).split('\n');  // the separator breaks no line
    EXPECT_TRUE(lines.size() == 3 && lines[0].endsWith("] riga") && lines[1].endsWith("] una\\u2028riga"))
        << contents(log).toStdString();
}

struct Place {
    const char* label;
    std::function<bool(const QString& log, const QString& elsewhere)> make;
};

class RunLogPlace : public ::testing::TestWithParam<Place> {};

// Refused at once, without opening it: the run goes on, and says why.
TEST_P(RunLogPlace, IsRefusedUnlessAnOrdinaryFileOnlyItsOwnerWrites)
{
    QTemporaryDir dir;
    const QString log = dir.filePath(u"log/AggiornaDV.log"_s);
    const QString elsewhere = dir.filePath(u"altrui"_s);
    ASSERT_TRUE(QDir().mkpath(dir.filePath(u"log"_s)) && GetParam().make(log, elsewhere));
    EXPECT_NE(adv::runlog::open(log), QString());
    adv::runlog::write(u"riga"_s);
    adv::runlog::close();
    EXPECT_EQ(contents(elsewhere), QByteArray()) << "written through";
}

INSTANTIATE_TEST_SUITE_P(
    RunLog, RunLogPlace,
    ::testing::Values(
        Place{"Link", [](const QString& l,
                         const QString& e) { return QFile(e).open(QIODevice::WriteOnly) && QFile::link(e, l); }},
        Place{"Fifo", [](const QString& l, const QString&) { return ::mkfifo(qPrintable(l), 0600) == 0; }},
        Place{"Folder", [](const QString& l, const QString&) { return QDir().mkpath(l); }},
        Place{"FolderOthersMayWrite",
              [](const QString& l, const QString&) { return ::chmod(qPrintable(l.section(u'/', 0, -2)), 0777) == 0; }}),
    [](const auto& row) { return std::string(row.param.label); });

}  // namespace
