#include "app/site/KeptFile.h"

#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>

#include "platform/FilePermissions.h"
#include "platform/InstallFolder.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

std::filesystem::path folderOf(const QFileInfo& info)
{
    return std::filesystem::path(info.absolutePath().toStdU16String());
}

// Whoever else may write the folder could slip a link in where the file
// is about to be written, or put their own file there.
QString folderProblem(const std::filesystem::path& folder)
{
    if (!platform::makeFolders(folder))
        return u"la cartella non si può creare"_s;
    if (platform::othersMayWrite(folder))
        return u"altri utenti possono scrivere nella cartella"_s;
    return {};
}

}  // namespace

KeptText readKept(const QString& file, std::size_t maxBytes)
{
    const QFileInfo info(file);
    const std::filesystem::path folderPath = folderOf(info);
    if (QString problem = folderProblem(folderPath); !problem.isEmpty())
        return {std::nullopt, problem};
    platform::OpenedFolder folder = platform::openInstallFolder(folderPath);
    if (!folder.folder)
        return {std::nullopt, QString::fromStdString(folder.result.detail)};

    // The kind is known before anything opens the name: a FIFO would hold
    // the run, a link would read what it points to.
    const std::string name = info.fileName().toStdString();
    const platform::Entry entry = folder.folder->entry(name);
    if (entry.kind == platform::EntryKind::Missing)
        return {};
    if (entry.kind == platform::EntryKind::Other)
        return {std::nullopt, u"non è un file ordinario"_s};
    if (platform::othersMayWrite(folderPath / name))
        return {std::nullopt, u"altri utenti possono modificare il file"_s};
    std::string text(maxBytes + 1, '\0');
    std::size_t got = 0;
    const platform::ReplaceResult read = folder.folder->read(name, 0, text.data(), text.size(), got);
    if (!read)
        return {std::nullopt, QString::fromStdString(read.detail)};
    if (got > maxBytes)
        return {std::nullopt, u"il file è più grande di %1 byte"_s.arg(maxBytes)};
    text.resize(got);
    return {std::move(text), {}};
}

QString writeKept(const QString& file, std::string_view bytes)
{
    if (QString problem = folderProblem(folderOf(QFileInfo(file))); !problem.isEmpty())
        return problem;
    QSaveFile out(file);
    const QByteArray data(bytes.data(), static_cast<qsizetype>(bytes.size()));
    // Whatever the umask: a file others may write would be refused next time.
    if (!out.open(QIODevice::WriteOnly) ||
        !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                            QFileDevice::ReadOther) ||
        out.write(data) != data.size() || !out.commit())
        return out.errorString();
    return {};
}

}  // namespace adv
