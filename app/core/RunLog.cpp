#include "app/core/RunLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>

using namespace Qt::StringLiterals;

namespace adv::runlog {
namespace {

std::unique_ptr<QFile>& file()
{
    static std::unique_ptr<QFile> log;
    return log;
}

}  // namespace

QString open(const QString& path)
{
    close();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return u"impossibile creare la cartella di %1"_s.arg(path);
    if (QFileInfo(path).size() > kMaxBytes) {
        QFile::remove(path + u".1"_s);
        QFile::rename(path, path + u".1"_s);
    }
    auto log = std::make_unique<QFile>(path);
    if (!log->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered))
        return u"impossibile scrivere %1: %2"_s.arg(path, log->errorString());
    file() = std::move(log);
    return {};
}

void write(const QString& line)
{
    if (!file())
        return;
    const QString stamped = u"%1 [%2] %3\n"_s.arg(QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss"_s))
                                .arg(QCoreApplication::applicationPid())
                                .arg(line);
    file()->write(stamped.toUtf8());
}

void close()
{
    file().reset();
}

}  // namespace adv::runlog
