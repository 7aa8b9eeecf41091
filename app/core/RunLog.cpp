#include "app/core/RunLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <memory>
#include <string>

#include "app/core/StatusLog.h"
#include "platform/FilePermissions.h"
#include "platform/LogFile.h"

using namespace Qt::StringLiterals;

namespace adv::runlog {
namespace {

std::unique_ptr<platform::LogFile>& file()
{
    static std::unique_ptr<platform::LogFile> log;
    return log;
}

}  // namespace

Refusal open(const QString& path)
{
    file().reset();  // a run's log replaces the one before; the program's end closes it
    // Made by the administrator, the folder is the administrators' to write.
    if (!platform::makeFolders(std::filesystem::path(QFileInfo(path).absolutePath().toStdU16String())))
        return u"impossibile creare la cartella di %1"_s.arg(path);
    const std::filesystem::path native(path.toStdU16String());
    platform::LogFile::Opened opened = platform::LogFile::open(native);
    if (opened.file && opened.file->size() > kMaxBytes) {
        opened.file.reset();
        QFile::remove(path + u".1"_s);
        QFile::rename(path, path + u".1"_s);
        opened = platform::LogFile::open(native);
    }
    // No log holds the system's words yet: they go with the reason.
    if (!opened.file)
        return Cause(u"impossibile scrivere %1: %2"_s.arg(path, QString::fromStdString(opened.detail)));
    file() = std::move(opened.file);
    return {};
}

void write(const QString& line)
{
    if (!file())
        return;
    const QString stamped = u"%1 [%2] %3\n"_s.arg(QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss"_s))
                                .arg(QCoreApplication::applicationPid())
                                .arg(printable(line));
    const QByteArray bytes = stamped.toUtf8();
    file()->write(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void LoggedUi::AppendStatus(const QString& message)
{
    write(statusLine(message));
    ui_.AppendStatus(message);
}

}  // namespace adv::runlog
