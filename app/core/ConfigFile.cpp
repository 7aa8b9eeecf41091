// The configuration's file: where it is looked for, and what it must be
// before a value in it is believed.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "app/core/Config.h"
#include "app/core/KeyValueText.h"
#include "app/core/Places.h"
#include "platform/FilePermissions.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace {

// Larger than any hand-written configuration; a bigger file is a mistake.
constexpr qint64 kMaxFileSize = 64 * 1024;

QString findConfigFile()
{
    // The user's own folder first, then the system-wide one.
    for (const QString& folder : configFolders()) {
        const QString file = folder + u'/' + kConfigFileName;
        if (QFileInfo::exists(file))
            return file;
    }
    return {};
}

}  // namespace

Refusal adoptBuiltInKey(Config& config, std::string_view builtIn)
{
    if (builtIn.empty())
        return {};
    const auto key = minisign::parsePublicKey(builtIn);
    if (!key)
        return u"la chiave pubblica incorporata nel programma non è valida"_s;
    if (config.publicKey && (config.publicKey->id != key->id || config.publicKey->key != key->key))
        return u"%1: chiave public_key: il programma ha una chiave pubblica incorporata, che la configurazione "
               u"non può sostituire"_s.arg(config.file);
    config.publicKey = key;
    return {};
}

ConfigResult loadConfig(const QString& explicitFile)
{
    ConfigResult result;
    Config config;
    const QString file = explicitFile.isEmpty() ? findConfigFile() : explicitFile;
    if (file.isEmpty()) {
        result.config = config;
        return result;
    }

    const QFileInfo info(file);
    if (!info.exists())
        return {std::nullopt, u"%1: il file di configurazione non esiste"_s.arg(file), {}};
    QFile in(file);
    if (!info.isFile() || !in.open(QIODevice::ReadOnly))
        return {std::nullopt, u"%1: il file di configurazione non si può leggere"_s.arg(file), {}};
    // It decides what gets installed and run: whoever may change it, or put
    // another file in its place, may run programs as the operator. The folder
    // is the one named and, past a link, the one really holding the file.
    std::string who;
    if (platform::othersMayWrite(std::filesystem::path(info.absoluteFilePath().toStdU16String()), &who))
        return {std::nullopt,
                u"%1: il file di configurazione può essere modificato da altri utenti (%2): %3"_s.arg(
                    file, shownValue(who), privateConfigHint()),
                {}};
    QStringList folders{info.absolutePath(), QFileInfo(info.canonicalFilePath()).absolutePath()};
    folders.removeDuplicates();
    for (const QString& folder : folders) {
        if (platform::othersMayWrite(std::filesystem::path(folder.toStdU16String()), &who))
            return {std::nullopt,
                    u"%1: la cartella %2 che contiene il file di configurazione può essere modificata da altri "
                    u"utenti (%3), che vi possono mettere un altro file: %4"_s.arg(
                        file, QDir::toNativeSeparators(folder), shownValue(who), privateConfigHint()),
                    {}};
    }
    const QByteArray bytes = in.read(kMaxFileSize + 1);
    if (bytes.size() > kMaxFileSize)
        return {std::nullopt, u"%1: il file di configurazione è troppo grande"_s.arg(file), {}};
    config.file = info.absoluteFilePath();

    if (Refusal refused =
            readConfigText(config, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())), file))
        return {std::nullopt, std::move(*refused), {}};

    // A password is as good as the file's permissions.
    if ((!config.password.empty() || !config.reportPassword.empty()) &&
        platform::othersMayRead(std::filesystem::path(info.absoluteFilePath().toStdU16String())))
        result.warning = u"%1: attenzione: il file contiene una password ed è leggibile da altri "
                         u"utenti (chmod 600)"_s.arg(file);

    result.config = std::move(config);
    return result;
}

}  // namespace adv
