#include "app/maker/Signing.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <filesystem>

#include "app/channel/Minisign.h"
#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/ProductTable.h"
#include "app/maker/MakerTexts.h"
#include "platform/FilePermissions.h"

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

// Sites trust what is signed with `public_key`: the signature must be its,
// of this program, and not dated past what a site's clock allows.
Refusal checkedAsSitesWill(const Config& config, std::int64_t now, ReleaseFiles& files)
{
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

Refusal readProgram(const Config& config, const QString& program, ReleaseFiles& files)
{
    Refusal why;
    auto bytes = readLocal(program, config.ftp.maxDownloadBytes, why);
    if (!bytes)
        return why;
    files.program = std::move(*bytes);
    files.hash = minisign::hashOf(files.program);
    return std::nullopt;
}

// Whoever may read an open key signs as the maker; a sealed one still has
// its password between them.
Refusal guarded(const QString& path, bool sealed, const Warn& warn)
{
    const std::filesystem::path file(path.toStdU16String());
    std::string who;
    const bool writable = platform::othersMayWrite(file, &who);
    if (!writable && !platform::othersMayRead(file))
        return std::nullopt;
    const QString writers = QString::fromStdString(who);
    if (!sealed)
        return makertext::keyExposed(path, writers);
    warn(makertext::keyExposedSealed(path, writers));
    return std::nullopt;
}

}  // namespace

Refusal openKey(const Config& config, const AskPassword& askPassword, const Warn& warn,
                std::optional<minisign::SecretKey>& key)
{
    if (!config.publicKey)
        return makertext::kNoPublicKey;
    if (config.signingKey.isEmpty())
        return makertext::kNoSigningKey;
    Refusal why;
    auto keyText = readLocal(config.signingKey, 64 * 1024, why);
    if (!keyText)
        return why;
    const bool sealed = minisign::SecretKey::sealed(*keyText).value_or(false);
    if (auto exposed = guarded(config.signingKey, sealed, warn)) {
        std::fill(keyText->begin(), keyText->end(), '\0');
        return exposed;
    }
    std::string password;
    if (sealed) {
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

Refusal openRefreshKey(const Config& config, std::optional<minisign::SecretKey>& key)
{
    // The server's index is checked with the main key before it is renewed.
    if (!config.publicKey)
        return makertext::kNoPublicKey;
    if (config.refreshKey.isEmpty())
        return makertext::kNoRefreshKey;
    Refusal why;
    auto keyText = readLocal(config.refreshKey, 64 * 1024, why);
    if (!keyText)
        return why;
    const auto wipe = [&keyText] { std::fill(keyText->begin(), keyText->end(), '\0'); };
    if (minisign::SecretKey::sealed(*keyText).value_or(false)) {
        wipe();
        return makertext::kRefreshKeySealed;
    }
    if (auto exposed = guarded(config.refreshKey, false, [](const QString&) {})) {
        wipe();
        return exposed;
    }
    minisign::SecretKeyRead opened = minisign::SecretKey::read(*keyText, {});
    wipe();
    if (!opened.key)
        return text::because(makertext::kKeyUnusable, opened.check.detail);
    const minisign::PublicKey own = opened.key->publicKey();
    if (own == *config.publicKey)
        return makertext::kRefreshKeyIsMain;
    key.emplace(std::move(*opened.key));
    return std::nullopt;
}

Refusal takeSignature(const Config& config, const QString& program, const QString& signatureFile, std::int64_t now,
                      ReleaseFiles& files)
{
    if (!config.publicKey)
        return makertext::kNoPublicKey;
    if (auto refusal = readProgram(config, program, files))
        return refusal;
    Refusal why;
    auto given = readLocal(signatureFile, minisign::kMaxSignatureBytes, why);
    if (!given)
        return why;
    files.signature = std::move(*given);
    return checkedAsSitesWill(config, now, files);
}

Refusal signProgram(const Config& config, const QString& program, const minisign::SecretKey& key, std::int64_t now,
                    ReleaseFiles& files)
{
    if (auto refusal = readProgram(config, program, files))
        return refusal;
    files.signature = key.sign(files.hash, minisign::trustedComment(now, kUpdatedProgram));
    return checkedAsSitesWill(config, now, files);
}

}  // namespace adv
