#include "app/maker/MakerTexts.h"

#include <QStringList>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Dates.h"
#include "app/core/KeyValueText.h"
#include "app/maker/PublishReport.h"
#include "app/maker/ServerLock.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace makertext {

using text::q;

QString unreadable(const QString& path)
{
    return u"il file %1 non si può leggere"_s.arg(path);
}

QString emptyOrTooLarge(const QString& path, std::int64_t limit)
{
    return u"il file %1 è vuoto o più grande di %2 byte"_s.arg(path).arg(limit);
}

QString lockHeld(std::string_view owner)
{
    return u"un'altra pubblicazione è in corso (%1)"_s.arg(shownValue(owner));
}

QString olderIndexServed(std::int64_t lastSignedHere, const QString& memoryPath)
{
    return u"il server non offre l'indice che questa macchina ha pubblicato %1, ma uno più vecchio o nessuno: "
           u"nulla è stato cambiato (se il server è stato rifatto da capo, togliere %2)"_s.arg(
               text::onDate(lastSignedHere), memoryPath);
}

QString notNewer(std::int64_t offeredAt, std::int64_t signedAt)
{
    return u"il server offre già una versione firmata %1, non precedente a questa (%2)"_s.arg(
        text::onDate(offeredAt), text::shownDate(signedAt));
}

QString keptNotIndexed(std::string_view release)
{
    return u"la versione %1 sul server non è quella dell'indice"_s.arg(q(release));
}

QString releaseUnreadable(std::string_view release)
{
    return u"la versione %1 sul server non si legge o non è firmata dal produttore"_s.arg(q(release));
}

QString nothingOlder(std::string_view current)
{
    return u"sul server non resta una versione precedente a %1 a cui tornare"_s.arg(q(current));
}

QString programSigned(std::int64_t signedAt, std::string_view release)
{
    return u"Programma firmato %1: %2"_s.arg(text::onDate(signedAt), q(release));
}

QString connecting(std::string_view host)
{
    return u"Collegamento a %1"_s.arg(q(host));
}

QString sending(std::string_view name, std::size_t bytes)
{
    return u"Invio di %1 (%2 byte)"_s.arg(q(name)).arg(bytes);
}

QString pruned(std::string_view name)
{
    return u"Versione vecchia rimossa: %1"_s.arg(q(name));
}

QString memoryNotWritten(const QString& path)
{
    return u"Attenzione: %1 non si può scrivere; la prossima pubblicazione non potrà accorgersi di un indice "
           u"più vecchio servito dal server"_s.arg(path);
}

QString done(const ReleaseIndex& index)
{
    return u"Fatto: i siti ora seguono %1 (%2)"_s.arg(q(index.release), q(index.rollout.text()));
}

QString sendFailed(std::string_view name)
{
    return u"invio di %1 non riuscito: nulla è cambiato per i siti"_s.arg(q(name));
}

QString readBackFailed(std::string_view name)
{
    return u"rilettura di %1 non riuscita: nulla è cambiato per i siti"_s.arg(q(name));
}

QString readBackDiffers(std::string_view name)
{
    return u"%1 riletto dal server non è quello inviato: nulla è cambiato per i siti"_s.arg(q(name));
}

QString notPlaced(std::string_view name, const QString& visible)
{
    return u"il server non ha messo al suo posto %1; visibili: %2"_s.arg(q(name), visible);
}

QString placedDiffers(std::string_view name, const QString& visible)
{
    return u"dopo la ridenominazione %1 sul server non è quello inviato; visibili: %2"_s.arg(q(name), visible);
}

QString visibleIndex(std::string_view release)
{
    return u"l'indice precedente (%1)"_s.arg(q(release));
}

Cause serverCause(const QString& what, const platform::FtpResult& why, const Config& config)
{
    const Cause session = text::ftpCause(why, config);
    return {what + u": "_s + session.text, session.detail};
}

QString checkedLine(bool ok, const QString& line)
{
    return (ok ? u"  ok  "_s : u"  NO  "_s) + line;
}

QString indexSigned(std::optional<std::int64_t> signedAt)
{
    return u"indice %1, firmato %2"_s.arg(q(kIndexName), signedAt ? text::onDate(*signedAt) : u"il ?"_s);
}

QString indexNotOlder(std::int64_t lastSignedHere)
{
    return u"indice non più vecchio dell'ultimo pubblicato da questa macchina (%1)"_s.arg(
        lastSignedHere ? text::shownDate(lastSignedHere) : u"nessuno"_s);
}

QString currentRelease(const ReleaseIndex& index)
{
    return u"versione attuale %1 (%2 byte, firmata %3)"_s.arg(q(index.release))
        .arg(index.size)
        .arg(text::onDate(index.signedAt));
}

QString plan(const ReleaseIndex& index)
{
    return u"  piano %1; %2 versioni ritirate"_s.arg(q(index.rollout.text())).arg(index.withdrawn.size());
}

QString stage(int percent, std::int64_t from, bool begun)
{
    return u"  %1% dei siti %2%3"_s.arg(percent).arg(text::fromDate(from)).arg(begun ? u" (in corso)"_s : QString());
}

QString pairSigned(std::optional<std::int64_t> signedAt)
{
    return u"%1 e %2, firmati il %3"_s.arg(q(kUpdatedProgram), q(signatureName(kUpdatedProgram)))
        .arg(signedAt ? text::shownDate(*signedAt) : u"?"_s);
}

QString leftover(std::string_view name)
{
    return u"resto di una pubblicazione interrotta: %1"_s.arg(q(name));
}

QString lockFound(const std::optional<std::string>& owner, std::int64_t now)
{
    const std::string whole = owner.value_or(std::string());
    std::string_view line = whole;
    if (line.ends_with('\n'))
        line.remove_suffix(1);
    const QString who = !owner         ? u"di un proprietario che il server non fa leggere"_s
                        : line.empty() ? u"senza proprietario"_s
                                       : u"di %1"_s.arg(shownValue(line));
    const std::optional<std::int64_t> since = lockTakenAt(line);
    const QString age = !since || *since <= 0  ? QString()
                        : *since < now - 86400 ? u", preso %1"_s.arg(text::onDate(*since))
                        : *since <= now ? u", preso %1 fa"_s.arg(text::shownSpan(std::chrono::seconds(now - *since)))
                                        : u", con un orario più avanti dell'orologio di questo computer"_s;
    const bool stale = owner && (line.empty() || lockHolder(line, {}, now) == LockHolder::Stale);
    return u"blocco %1 %2%3: %4"_s.arg(q(kLockFolderName), who, age,
                                       stale ? u"scaduto, la prossima pubblicazione lo riprende"_s
                                             : u"una pubblicazione è in corso o si è interrotta"_s);
}

QString lockLeft(const std::optional<std::string>& owner, std::int64_t now)
{
    return lockFound(owner, now) + u" (AggiornaDV --unlock lo toglie)"_s;
}

QString lockToRemove(const std::optional<std::string>& owner, std::int64_t now)
{
    return u"Trovato il "_s + lockFound(owner, now);
}

QString setAside(std::string_view name, std::string_view aside)
{
    return u"Il server non sostituisce un file con una ridenominazione: %1 messo da parte come %2 finché il nuovo "
           u"non è al suo posto"_s.arg(q(name), q(aside));
}

QString listedNow(const std::vector<std::string>& names)
{
    QStringList shown;
    for (const std::string& name : names)
        shown << q(name);
    return shown.isEmpty() ? u"nessuno dei file che i siti leggono, secondo l'elenco del server"_s
                           : u"%1, secondo l'elenco del server"_s.arg(shown.join(u", "_s));
}

QString unlisted(const QString& expected)
{
    return u"%1, se il server non ha cambiato altro (il suo elenco non si legge)"_s.arg(expected);
}

}  // namespace makertext

ExitStatus exitStatus(PublishOutcome outcome)
{
    switch (outcome) {
    case PublishOutcome::Published: return ExitStatus::Success;
    case PublishOutcome::Refused: return ExitStatus::PublishRefused;
    case PublishOutcome::ConnectFailed: return ExitStatus::ConnectFailed;
    case PublishOutcome::Locked: return ExitStatus::PublishLocked;
    case PublishOutcome::Mismatch: return ExitStatus::PublishMismatch;
    case PublishOutcome::RenameRefused: return ExitStatus::PublishRenameRefused;
    case PublishOutcome::ServerFailed: return ExitStatus::PublishServerFailed;
    case PublishOutcome::Inconsistent: return ExitStatus::StatusInconsistent;
    }
    return ExitStatus::PublishServerFailed;
}

}  // namespace adv
