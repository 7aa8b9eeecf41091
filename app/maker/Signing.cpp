#include "app/maker/Signing.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/ProductTable.h"
#include "app/maker/MakerTexts.h"

namespace adv {

namespace {

// A local file, whole, or why not; bounded as a download is.
std::optional<std::string> readLocal(const QString& path, std::int64_t limit, Refusal& why)
{
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        why = makertext::unreadable(path);
        return std::nullopt;
    }
    const QByteArray bytes = file.read(limit + 1);
    if (bytes.size() > limit || bytes.isEmpty()) {
        why = makertext::emptyOrTooLarge(path, limit);
        return std::nullopt;
    }
    return bytes.toStdString();
}

}  // namespace

Refusal openKey(const Config& config, const AskPassword& askPassword, std::optional<minisign::SecretKey>& key)
{
    if (!config.publicKey)
        return makertext::kNoPublicKey;
    if (config.signingKey.isEmpty())
        return makertext::kNoSigningKey;
    Refusal why;
    auto keyText = readLocal(config.signingKey, 64 * 1024, why);
    if (!keyText)
        return why;
    std::string password;
    if (minisign::SecretKey::sealed(*keyText).value_or(false)) {
        std::optional<std::string> given = askPassword();
        if (!given)
            return makertext::kNoPassword;
        password = std::move(*given);
    }
    minisign::SecretKeyRead opened = minisign::SecretKey::read(*keyText, password);
    // An open key's file is the key itself.
    std::fill(password.begin(), password.end(), '\0');
    std::fill(keyText->begin(), keyText->end(), '\0');
    if (!opened.key)
        return text::because(makertext::kKeyUnusable, opened.check.detail);
    const minisign::PublicKey own = opened.key->publicKey();
    if (own.id != config.publicKey->id || own.key != config.publicKey->key)
        return makertext::kNotTheTrustedKey;
    key.emplace(std::move(*opened.key));
    return std::nullopt;
}

Refusal signProgram(const Config& config, const QString& program, const QString& signatureFile,
                    const minisign::SecretKey& key, std::int64_t now, ReleaseFiles& files)
{
    Refusal why;
    auto bytes = readLocal(program, config.ftp.maxDownloadBytes, why);
    if (!bytes)
        return why;
    files.program = std::move(*bytes);
    files.hash = minisign::hashOf(files.program);
    if (signatureFile.isEmpty()) {
        files.signature = key.sign(files.hash, minisign::trustedComment(now, kUpdatedProgram));
    } else {
        auto given = readLocal(signatureFile, minisign::kMaxSignatureBytes, why);
        if (!given)
            return why;
        files.signature = std::move(*given);
    }
    const minisign::Checked checked = minisign::Signature::check(files.signature, *config.publicKey, kUpdatedProgram);
    if (!checked.signature)
        return text::because(makertext::kSignatureInvalid, checked.check.detail);
    if (const minisign::Check genuine = checked.signature->verifies(files.hash); !genuine)
        return text::because(makertext::kSignatureOfAnother, genuine.detail);
    files.signedAt = checked.signature->timestamp();
    // Sites refuse a release dated ahead of their clock, and a later one
    // could not be published over it.
    if (files.signedAt - now > kFutureSlackSeconds)
        return makertext::kSignedAhead;
    return std::nullopt;
}

QString lastIndexPath(const Config& config)
{
    return config.signingKey + QStringLiteral(".last-index");
}

std::int64_t lastSignedHere(const Config& config)
{
    if (config.signingKey.isEmpty() || !QFileInfo::exists(lastIndexPath(config)))
        return 0;
    Refusal why;
    const auto stored = readLocal(lastIndexPath(config), kMaxIndexBytes, why);
    const StoredIndex read = stored ? readStoredIndex(*stored, config.publicKey) : StoredIndex{};
    return read.authentic && read.index ? read.signedAt : 0;
}

bool rememberIndex(const Config& config, std::string_view sealed)
{
    QSaveFile memory(lastIndexPath(config));
    return memory.open(QIODevice::WriteOnly) && memory.write(sealed.data(), qint64(sealed.size())) && memory.commit();
}

}  // namespace adv
