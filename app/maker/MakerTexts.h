// What the maker's commands tell the maker, in Italian: the lines of a
// publish and of --status, and the causes a publish ends with.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/Failure.h"

namespace adv {

struct Config;
struct ReleaseIndex;
namespace platform {
struct FtpResult;
}  // namespace platform

namespace makertext {

// Refusals before anything is sent.
inline const QString kNoPublicKey =
    QStringLiteral("manca public_key nella configurazione: la pubblicazione si controlla con essa");
inline const QString kNoPublicKeyForStatus =
    QStringLiteral("manca public_key nella configurazione: i file del server si controllano con essa");
inline const QString kNoSigningKey = QStringLiteral("manca signing_key nella configurazione");
inline const QString kNoPassword = QStringLiteral("nessuna password per la chiave segreta");
inline const QString kKeyUnusable = QStringLiteral("la chiave segreta non si può usare");
inline const QString kNotTheTrustedKey =
    QStringLiteral("la chiave segreta non è quella di public_key: i siti rifiuterebbero la versione");
inline const QString kSignatureInvalid = QStringLiteral("la firma non è valida");
inline const QString kSignatureOfAnother = QStringLiteral("la firma non è di questo programma");
inline const QString kSignedAhead =
    QStringLiteral("la firma è datata più di un giorno dopo l'orologio di questo computer");
QString unreadable(const QString& path);

// The refresh key and --refresh.
inline const QString kNoRefreshKey = QStringLiteral("manca refresh_key nella configurazione");
inline const QString kRefreshKeySealed =
    QStringLiteral("refresh_key ha una password: la chiave di rinnovo firma da sola, ogni settimana, e va fatta "
                   "senza (minisign -G -W)");
inline const QString kRefreshKeyIsMain =
    QStringLiteral("refresh_key è la chiave di public_key: la chiave di rinnovo deve essere un'altra");
inline const QString kNoIndexToRefresh = QStringLiteral("sul server non c'è un indice da rinnovare");
inline const QString kIndexNamesAnotherKey =
    QStringLiteral("l'indice sul server non nomina questa chiave di rinnovo: i siti rifiuterebbero il rinnovo; "
                   "pubblicare prima (anche solo --rollout) con questa refresh_key nella configurazione");
QString refreshed(std::int64_t until);
// --status: until when the index holds; within `soonDays` of it, a warning.
QString validUntil(std::int64_t until, std::int64_t now, int soonDays);
QString expiredOn(std::int64_t until);
QString emptyOrTooLarge(const QString& path, std::int64_t limit);

// The lock.
inline const QString kLockTakenOver = QStringLiteral("Pubblicazione precedente interrotta: il blocco viene ripreso");
inline const QString kLockNotWritten = QStringLiteral("impossibile scrivere il blocco sul server");
inline const QString kLockTaken = QStringLiteral("un'altra pubblicazione ha preso il blocco");
inline const QString kLockLost =
    QStringLiteral("il blocco è passato a un'altra pubblicazione: da qui nulla è stato reso visibile");
QString lockHeld(std::string_view owner);

// What the server offers, and what may be published over it.
inline const QString kIndexNotOurs =
    QStringLiteral("l'indice sul server non è firmato con questa chiave o è danneggiato: nulla è stato cambiato");
inline const QString kNoIndexToChange =
    QStringLiteral("sul server non c'è un indice: pubblicare prima una versione con --publish");
inline const QString kNoIndexToWithdraw = QStringLiteral("sul server non c'è un indice: nulla da ritirare");
inline const QString kWithdrawnStillPaired =
    QStringLiteral("Attenzione: dolvo.exe sul server è la versione ritirata; i siti con un AggiornaDV che non "
                   "legge l'indice non possono tornare indietro, ma da ora ricevono la versione precedente");
QString olderIndexServed(std::int64_t lastSignedHere, const QString& memoryPath);
QString notNewer(std::int64_t offeredAt, std::int64_t signedAt);
QString keptNotIndexed(std::string_view release);
QString releaseUnreadable(std::string_view release);
QString nothingOlder(std::string_view current);
QString withdrawnAgain(std::int64_t signedAt);
QString reinstated(std::int64_t signedAt);
QString planTooLate(std::int64_t signedAt);
inline const QString kNoReplacedRelease =
    QStringLiteral("l'indice sul server non dice quale versione ha sostituito: indicare con --back-to l'impronta "
                   "della versione a cui tornare (--status elenca le versioni conservate)");
inline const QString kTargetIsCurrent = QStringLiteral("la versione indicata è quella attuale");
inline const QString kResumeNotPaused =
    QStringLiteral("la versione attuale non è in pausa: indicare il piano con cui proseguire");
QString badTargetHash(std::string_view named);
QString targetWithdrawn(std::int64_t signedAt);
QString targetNotOlder(std::int64_t signedAt, std::int64_t currentSignedAt);
QString targetNotKept(std::string_view hex);
QString clockOff(std::int64_t now, std::int64_t serverTime);
QString serverZone(std::int64_t offset);
inline const QString kNoServerTime =
    QStringLiteral("Attenzione: il server non dice l'ora dei suoi file (MDTM): l'orologio di questo computer non si "
                   "può confrontare con il suo; verificarlo prima di pubblicare, i siti giudicano le date firmate");
inline const QString kNoKeptPlan =
    QStringLiteral("la versione è stata pubblicata in pausa, senza un piano da riprendere: indicare il piano");
QString indexDatedAfter(std::int64_t signingTime);
QString offerAhead(std::int64_t signedAt);

// The steps of a publish.
QString programSigned(std::int64_t signedAt, std::string_view release);
QString connecting(std::string_view host);
QString sending(std::string_view name, std::size_t bytes);
QString pruned(std::string_view name);
QString memoryNotWritten(const QString& path);
QString done(const ReleaseIndex& index);

// A checked upload that failed; `visible`: what sites are offered meanwhile.
inline const QString kReleaseFolderNotMade = QStringLiteral("la cartella delle versioni non si può creare");
// Not a failure of the publish: the sites' reports only cannot arrive yet.
inline const QString kReportFolderNotMade = QStringLiteral(
    "Attenzione: la cartella dei rapporti (reports) non si può creare sul server; i siti non potranno inviare i "
    "loro rapporti finché non c'è");
QString sendFailed(std::string_view name);
QString readBackFailed(std::string_view name);
QString readBackDiffers(std::string_view name);
QString notPlaced(std::string_view name, const QString& visible);
QString placedDiffers(std::string_view name, const QString& visible);
QString visibleIndex(std::string_view release);
inline const QString kVisiblePair = QStringLiteral("la coppia dolvo.exe e la sua firma precedenti");

// What failed on the server, then the session's own cause: Italian, and
// the server's and the library's words for the log only.
Cause serverCause(const QString& what, const platform::FtpResult& why, const Config& config);

// --status: each line checked, and what it says of the plan.
QString checkedLine(bool ok, const QString& line);
inline const QString kNoIndexOffered =
    QStringLiteral("  nessun indice sul server: i siti leggono solo dolvo.exe e la sua firma");
QString indexSigned(std::optional<std::int64_t> signedAt);
QString indexNotOlder(std::int64_t lastSignedHere);
QString currentRelease(const ReleaseIndex& index);
QString plan(const ReleaseIndex& index);
QString stage(int percent, std::int64_t from, bool begun);
QString published(const ReleaseIndex& index);
QString keptPlan(const ReleaseIndex& index);
QString keptRelease(std::string_view name, std::int64_t signedAt, std::string_view hashStart);
inline const QString kNoPairYet =
    QStringLiteral("  nessun dolvo.exe con la sua firma: i siti che non leggono l'indice ricevono la versione quando "
                   "va a tutti i siti (--rollout 100)");
inline const QString kNothingPublished =
    QStringLiteral("  il server non offre ancora nulla: né indice, né dolvo.exe con la sua firma");
QString pairSigned(std::optional<std::int64_t> signedAt);
QString leftover(std::string_view name);

// The lock: why a publish could not tell who holds it, what --status and
// --unlock say of one, and what the server lists when a rename was refused.
inline const QString kLockNotRead = QStringLiteral("impossibile rileggere il blocco sul server");
inline const QString kLockNotRemoved = QStringLiteral("impossibile togliere il blocco dal server");
inline const QString kLockRemoved = QStringLiteral("Blocco tolto: la prossima pubblicazione può partire");
inline const QString kNoLockToRemove = QStringLiteral("Nessun blocco sul server: nulla da togliere");
QString lockFound(const std::optional<std::string>& owner, std::int64_t now);
QString lockLeft(const std::optional<std::string>& owner, std::int64_t now);
QString lockToRemove(const std::optional<std::string>& owner, std::int64_t now);
QString setAside(std::string_view name, std::string_view aside);
QString listedNow(const std::vector<std::string>& names);
QString unlisted(const QString& expected);

// The maker's memory of each server, and the secret key's own file.
inline const QString kMemoryNotAFile = QStringLiteral("non è un file ordinario");
inline const QString kMemoryNotAFolder = QStringLiteral("non è una cartella");
inline const QString kMemoryUnreadable = QStringLiteral("non si può leggere");
inline const QString kMemoryTooLarge = QStringLiteral("è più grande di un indice");
inline const QString kMemoryNotOurs =
    QStringLiteral("non è un indice firmato con questa chiave: è troncata, danneggiata o di un'altra chiave");
QString memoryUntrusted(const QString& path, const QString& why);
QString legacyOlderServed(std::int64_t lastSignedHere, const QString& legacyPath, const QString& folder);
// `who`: those who may write it, as the system names them; empty when only reading is open.
QString keyExposed(const QString& path, const QString& who);
QString keyExposedSealed(const QString& path, const QString& who);

}  // namespace makertext
}  // namespace adv
