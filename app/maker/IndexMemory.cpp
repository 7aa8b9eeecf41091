#include "app/maker/IndexMemory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <filesystem>
#include <system_error>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/maker/MakerTexts.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

QString recordPath(const Config& config)
{
    return indexMemoryFolder(config) + u'/' + serverFileName(config) + u".index"_s;
}

QString legacyPath(const Config& config)
{
    return config.signingKey + u".last-index"_s;
}

enum class Found { None, Read, Refused };

struct Record {
    Found found = Found::None;
    std::int64_t signedAt = 0;
    Refusal refused;
};

Record untrusted(const QString& path, const QString& why, std::string_view detail = {})
{
    return {Found::Refused, 0, text::because(makertext::memoryUntrusted(path, why), detail)};
}

// Looked at before it is opened: a FIFO in its place must not hold the run,
// a folder or a device is no record, and none of them is the absence of one.
std::optional<Record> notAFile(const QString& path, std::filesystem::file_type expected)
{
    std::error_code error;
    const std::filesystem::file_status found = std::filesystem::symlink_status(path.toStdU16String(), error);
    if (found.type() == std::filesystem::file_type::not_found)
        return Record{};
    if (error)
        return untrusted(path, makertext::kMemoryUnreadable, error.message());
    if (found.type() != expected)
        return untrusted(path, expected == std::filesystem::file_type::directory ? makertext::kMemoryNotAFolder
                                                                                 : makertext::kMemoryNotAFile);
    return std::nullopt;
}

Record readRecord(const Config& config, const QString& path)
{
    if (std::optional<Record> odd = notAFile(path, std::filesystem::file_type::regular))
        return *odd;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return untrusted(path, makertext::kMemoryUnreadable, file.errorString().toStdString());
    const QByteArray bytes = file.read(qint64(kMaxIndexBytes) + 1);
    if (bytes.size() > qsizetype(kMaxIndexBytes))
        return untrusted(path, makertext::kMemoryTooLarge);
    const StoredIndex read = readStoredIndex(bytes.toStdString(), config.publicKey);
    if (!read.authentic || !read.index)
        return untrusted(path, makertext::kMemoryNotOurs, read.cause.detail.toStdString());
    return {Found::Read, read.signedAt, {}};
}

}  // namespace

// A file name of the server and folder that any system takes as one name:
// every byte but letters, digits, '-', '.' and '_' escaped, so that neither
// '/', a drive's ':' nor a control character from the configuration reaches
// the path. A long one keeps its start, readable, and a digest of the rest.
QString serverFileName(const Config& config)
{
    QString folder = QString::fromStdString(config.remoteFolder);
    while (folder.size() > 1 && folder.endsWith(u'/'))
        folder.chop(1);
    const QByteArray escapedOnly = "~,";
    QByteArray name = QString::fromStdString(config.host).toLower().toUtf8().toPercentEncoding({}, escapedOnly) + ',' +
                      QByteArray::number(config.ftp.port) + ',' + folder.toUtf8().toPercentEncoding({}, escapedOnly);
    if (name.size() > 120)
        name = name.left(80) + '~' + QCryptographicHash::hash(name, QCryptographicHash::Sha256).toHex().left(16);
    return QString::fromLatin1(name);
}

QString indexMemoryFolder(const Config& config)
{
    return config.signingKey + u".indexes"_s;
}

IndexMemory recallIndex(const Config& config, std::int64_t served)
{
    // Without a key nothing was signed here (--status needs none).
    if (config.signingKey.isEmpty())
        return {};
    IndexMemory memory{0, recordPath(config), {}};
    const std::optional<Record> folder = notAFile(indexMemoryFolder(config), std::filesystem::file_type::directory);
    const Record own = folder ? *folder : readRecord(config, memory.path);
    if (own.found == Found::Refused) {
        if (folder)
            memory.path = indexMemoryFolder(config);
        memory.refused = own.refused;
        return memory;
    }
    if (own.found == Found::Read) {
        memory.signedAt = own.signedAt;
        if (own.signedAt > served)
            memory.refused = makertext::olderIndexServed(own.signedAt, memory.path);
        return memory;
    }
    // The one file earlier releases kept for every server belongs to one of
    // them: it guards a server at least as old, and is taken over by one as
    // new or newer, whose own record the next publish writes.
    const Record legacy = readRecord(config, legacyPath(config));
    if (legacy.found == Found::None)
        return memory;
    memory.signedAt = legacy.signedAt;
    if (legacy.found == Found::Refused) {
        memory.path = legacyPath(config);
        memory.refused = legacy.refused;
    } else if (legacy.signedAt > served) {
        memory.path = legacyPath(config);
        memory.refused = makertext::legacyOlderServed(legacy.signedAt, memory.path, indexMemoryFolder(config));
    }
    return memory;
}

bool rememberIndex(const Config& config, std::string_view sealed)
{
    const QString folder = indexMemoryFolder(config);
    constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (!QDir(folder).exists() &&
        !(QDir().mkdir(folder) && QFile::setPermissions(folder, ownerOnly | QFileDevice::ExeOwner)))
        return false;
    QSaveFile memory(recordPath(config));
    return memory.open(QIODevice::WriteOnly) && memory.setPermissions(ownerOnly) &&
           memory.write(sealed.data(), qint64(sealed.size())) == qint64(sealed.size()) && memory.commit();
}

}  // namespace adv
