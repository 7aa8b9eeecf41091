#include "tests/support/FileSetup.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace adv::test {

const bool kReplacementKeepsMode = true;
const bool kGroupBitsCount = true;
const bool kStickyFoldersCount = true;
const bool kNamesMayHoldWildcards = true;

std::string linuxPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

bool setMode(const QString& path, int mode)
{
    return ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0;
}

bool makeSymlink(const QString& target, const QString& link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0;
}

std::optional<int> modeOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return static_cast<int>(st.st_mode & 07777);
}

}  // namespace adv::test
