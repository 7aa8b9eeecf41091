#include "app/maker/MakerTexts.h"

#include <QStringList>

#include "app/channel/ReleaseIndex.h"
#include "app/channel/ServerLayout.h"
#include "app/core/Dates.h"
#include "app/core/KeyValueText.h"
#include "app/core/Places.h"
#include "app/maker/PublishPlan.h"
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

QString withdrawnAgain(std::int64_t signedAt)
{
    return u"questa versione (firmata %1) è stata ritirata: per pubblicarla di nuovo, e toglierla dalle versioni "
           u"ritirate, aggiungere --reinstate"_s.arg(text::onDate(signedAt));
}

QString reinstated(std::int64_t signedAt)
{
    return u"La versione firmata %1 non è più tra quelle ritirate (i siti con un AggiornaDV precedente a questo "
           u"continuano a rifiutarla)"_s.arg(text::onDate(signedAt));
}

QString planTooLate(std::int64_t signedAt)
{
    return u"la versione è firmata %1: contato dalla pubblicazione, il piano supera i %2 giorni che i siti "
           u"accettano; firmarla di nuovo"_s.arg(text::onDate(signedAt))
               .arg(kMaxDelayHours / 24);
}

QString badTargetHash(std::string_view named)
{
    return u"--back-to: \"%1\" non è un'impronta (da 8 a 128 cifre esadecimali minuscole)"_s.arg(shownValue(named));
}

QString targetWithdrawn(std::int64_t signedAt)
{
    return u"la versione indicata (firmata %1) è stata ritirata anch'essa"_s.arg(text::onDate(signedAt));
}

QString targetNotOlder(std::int64_t signedAt, std::int64_t currentSignedAt)
{
    return u"la versione indicata è firmata %1, non prima di quella attuale (%2)"_s.arg(
        text::onDate(signedAt), text::shownDate(currentSignedAt));
}

QString targetNotKept(std::string_view hex)
{
    return u"il server non conserva, intera e firmata con questa chiave, la versione con impronta %1: nulla è "
           u"stato cambiato"_s.arg(QString::fromLatin1(hex.substr(0, 16)));
}

QString clockOff(std::int64_t now, std::int64_t serverTime)
{
    return u"l'orologio di questo computer (%1) e quello del server (%2) differiscono di più di %3 minuti: "
           u"correggere l'ora prima di firmare, i siti giudicano le date firmate"_s
               .arg(text::shownDate(now), text::shownDate(serverTime))
               .arg(kClockToleranceSeconds / 60);
}

QString serverZone(std::int64_t offset)
{
    const std::int64_t minutes = (offset < 0 ? -offset : offset) / 60;
    return u"Attenzione: il server dà l'ora dei suoi file %1 %2 h %3 min rispetto a questo computer: presa per il "
           u"suo fuso orario; se non lo è, correggere l'ora di questo computer"_s
               .arg(offset < 0 ? u"indietro di"_s : u"avanti di"_s)
               .arg(minutes / 60)
               .arg(minutes % 60);
}

QString indexDatedAfter(std::int64_t signingTime)
{
    return u"L'indice sul server è datato dopo l'ora di questo computer: il nuovo indice è firmato %1, dopo di "
           u"esso"_s.arg(text::onDate(signingTime));
}

QString offerAhead(std::int64_t signedAt)
{
    return u"Attenzione: la versione che il server offre è firmata %1, più di un giorno avanti: i siti la "
           u"rifiutano e non blocca la pubblicazione (pubblicare a tutti i siti la sostituisce)"_s.arg(
               text::onDate(signedAt));
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

QString refreshed(std::int64_t until)
{
    return u"Indice rinnovato: %1 valido fino %2"_s.arg(q(kIndexName), text::untilDate(until));
}

QString validUntil(std::int64_t until, std::int64_t now, int soonDays)
{
    const QString line = u"indice valido fino %1"_s.arg(text::untilDate(until));
    if (until - now > std::int64_t{soonDays} * 86400)
        return line;
    return u"Attenzione: "_s + line + u"; poi i siti non installano più nulla: rinnovarlo con --refresh"_s;
}

QString expiredOn(std::int64_t until)
{
    return u"indice scaduto %1: i siti non installano nulla finché non è rinnovato (--refresh) o ripubblicato"_s.arg(
        text::onDate(until));
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
    const std::size_t withdrawn = index.withdrawn.size();
    return u"  piano %1; %2"_s.arg(q(index.rollout.text()), withdrawn == 1 ? u"1 versione ritirata"_s
                                                                           : u"%1 versioni ritirate"_s.arg(withdrawn));
}

QString published(const ReleaseIndex& index)
{
    return u"  firmata %1, stadi contati %2"_s.arg(text::onDate(index.signedAt), text::fromDate(index.planStart()));
}

QString keptPlan(const ReleaseIndex& index)
{
    return u"  in pausa: piano conservato %1, raggiunto il %2% dei siti; alla ripresa (--rollout riprendi, o un "
           u"altro piano) si prosegue da lì"_s.arg(q(index.keptPlan ? index.keptPlan->text() : std::string()))
               .arg(index.reached);
}

QString keptRelease(std::string_view name, std::int64_t signedAt, std::string_view hashStart)
{
    return u"  conservata %1, firmata %2 (--back-to %3)"_s.arg(q(name), text::onDate(signedAt),
                                                               QString::fromLatin1(hashStart));
}

QString stage(int percent, std::int64_t from, bool begun)
{
    return u"  %1% dei siti %2%3"_s.arg(percent).arg(text::fromDate(from)).arg(begun ? u" (in corso)"_s : QString());
}

QString pairSigned(std::optional<std::int64_t> signedAt)
{
    const QString pair = u"%1 e %2"_s.arg(q(kUpdatedProgram), q(signatureName(kUpdatedProgram)));
    return signedAt ? u"%1, firmati il %2"_s.arg(pair, text::shownDate(*signedAt))
                    : u"%1: la firma manca o non è del produttore"_s.arg(pair);
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

QString memoryUntrusted(const QString& path, const QString& why)
{
    return u"la memoria degli indici firmati da questa macchina, %1, %2: nulla è stato cambiato (se si è rovinata "
           u"e il server è in ordine, come dice --status, toglierla)"_s.arg(path, why);
}

QString legacyOlderServed(std::int64_t lastSignedHere, const QString& legacyPath, const QString& folder)
{
    return u"il server non offre l'indice che questa macchina ha pubblicato %1, ma uno più vecchio o nessuno: "
           u"nulla è stato cambiato. %2 è la memoria delle versioni precedenti di AggiornaDV, una per tutti i "
           u"server: se è di un altro server, pubblicare prima su quello (la sua memoria passa in %3), poi "
           u"toglierla; se questo server è stato rifatto da capo, toglierla"_s.arg(text::onDate(lastSignedHere),
                                                                                   legacyPath, folder);
}

namespace {

QString openTo(const QString& who)
{
    return who.isEmpty() ? QString() : u" (%1)"_s.arg(who);
}

}  // namespace

QString keyExposed(const QString& path, const QString& who)
{
    return u"la chiave segreta %1 non ha password ed è leggibile o modificabile da altri utenti%2: chi la legge "
           u"firma come il produttore; %3"_s.arg(path, openTo(who), ownerOnlyHint(path));
}

QString keyExposedSealed(const QString& path, const QString& who)
{
    return u"Attenzione: la chiave segreta %1 è leggibile o modificabile da altri utenti%2: la protegge solo la "
           u"sua password; %3"_s.arg(path, openTo(who), ownerOnlyHint(path));
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
    case PublishOutcome::AutoPaused: return ExitStatus::FleetPaused;
    }
    return ExitStatus::PublishServerFailed;
}

}  // namespace adv
