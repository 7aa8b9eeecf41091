#include "app/site/KeptFile.h"

#include <QFileInfo>

#include <filesystem>

#include "app/channel/Minisign.h"
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
    const QFileInfo info(file);
    const std::filesystem::path folderPath = folderOf(info);
    if (QString problem = folderProblem(folderPath); !problem.isEmpty())
        return problem;
    platform::OpenedFolder folder = platform::openInstallFolder(folderPath);
    if (!folder.folder)
        return QString::fromStdString(folder.result.detail);
    // Through the folder opened, never a name followed: in a folder others
    // may add to (a sticky /tmp passes the check above), a link put where the
    // file goes is replaced, not written through. A name of its own each time,
    // so a name taken in advance cannot hold the write up.
    const std::string name = info.fileName().toStdString();
    const std::string temporary = "." + name + ".new-" + minisign::randomHex(4);
    platform::ReplaceResult step = folder.folder->create(temporary);
    if (step) {
        step = folder.folder->write(bytes.data(), bytes.size());
        if (step)
            step = folder.folder->seal({});
        else
            folder.folder->discard();
        if (step)
            step = folder.folder->renameOver(temporary, name);
        if (!step)
            folder.folder->remove(temporary);
    }
    return step ? QString() : QString::fromStdString(step.detail);
}

}  // namespace adv
