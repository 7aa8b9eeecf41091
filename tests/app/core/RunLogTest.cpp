// The log file on a real folder: made where it is missing, appended to, and
// past its bound kept once as .1.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

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
    adv::runlog::close();
    const QByteArray kept = contents(log + u".1"_s);
    EXPECT_TRUE(kept.count("] riga\n") == 2 && kept.contains("\nvecchio") && kept.endsWith("xxx"))
        << "appended, kept once";
    EXPECT_TRUE(contents(log).endsWith("] riga\n") && contents(log).size() < 100);
}

}  // namespace
