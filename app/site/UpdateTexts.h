// What the update and roll-back commands tell the operator, in Italian, and
// the status each outcome leaves the program with.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "app/core/ExitStatus.h"
#include "app/channel/ReleaseIndex.h"
#include "app/core/Dates.h"
#include "app/site/UpdateReport.h"
#include "install/FileReplacement.h"
#include "platform/FtpClient.h"

namespace adv {

struct Config;
struct WorkingHours;

namespace text {

inline const QString kWindowTitle = QStringLiteral("Aggiornamento Software");
inline const QString kQuestionTitle = QStringLiteral("Aggiornamento software");
inline const QString kPrompt = QStringLiteral("Sei sicuro di voler procedere");
inline const QString kConnecting = QStringLiteral("Collegamento al sito ZORVANIK");
inline const QString kConnected = QStringLiteral("Collegamento riuscito");
inline const QString kFolderMissing = QStringLiteral("La Directory 'download' non esiste sul server ");
inline const QString kNotInstalled = QStringLiteral("Programma Dolvo non è stato installato... ");
inline const QString kDownloadStarts = QStringLiteral("Inizio download programma ");
inline const QString kDownloadFailed = QStringLiteral("Impossibile scaricare il programma. Riprovare più tardi");
inline const QString kUpdated = QStringLiteral("Il programma è stato aggiornato... ");
inline const QString kAlreadyCurrent = QStringLiteral("Il programma è già aggiornato");
inline const QString kInterrupted =
    QStringLiteral("Aggiornamento interrotto: il programma installato non è stato modificato");
inline const QString kNotAuthentic = QStringLiteral("Il programma scaricato non è autentico: aggiornamento annullato");
inline const QString kReleaseChanged =
    QStringLiteral("La versione sul server è cambiata durante il download: si riprende dall'inizio");
inline const QString kOlderRelease =
    QStringLiteral("Il server offre una versione precedente del programma: aggiornamento annullato");
inline const QString kRecordDamaged =
    QStringLiteral("Il registro della versione installata è danneggiato: aggiornamento annullato");
inline const QString kRolledBack = QStringLiteral("Ripristinata la versione precedente del programma");
inline const QString kNothingKept = QStringLiteral("Nessuna versione precedente da ripristinare");
inline const QString kRollBackFailed = QStringLiteral("Impossibile ripristinare la versione precedente del programma");
inline const QString kProgramRunning =
    QStringLiteral("Il programma dolvo.exe è ancora in esecuzione e non si è potuto chiudere: aggiornamento annullato");

inline const QString kSignatureMissing =
    QStringLiteral("Il server non offre la firma del programma: aggiornamento annullato");
inline const QString kAnotherUpdate =
    QStringLiteral("Un altro aggiornamento del programma è in corso: riprovare più tardi");
inline const QString kPaused =
    QStringLiteral("Aggiornamento sospeso dal produttore: nessuna nuova versione viene installata");
inline const QString kUpdateAvailable = QStringLiteral("Aggiornamento disponibile");
inline const QString kOfferedUnsigned =
    QStringLiteral("Il server offre dolvo.exe senza firma né indice: non si sa se è già questo, senza scaricarlo");
inline const QString kWithdrawnOfferedCause = QStringLiteral("la versione offerta è stata ritirata dal produttore");
inline const QString kIndexGoneCause =
    QStringLiteral("il server non offre più l'indice del produttore, che questo computer ha già letto");

// "Aggiornamento disponibile: per questo computer dal <date>".
QString notDue(std::int64_t from);
QString restored(std::int64_t signedAt);
QString withdrawnHere(std::int64_t signedAt);
QString olderIndexCause(std::int64_t signedAt, std::int64_t seen);
// What --check says of the installed release and of the one on offer.
QString installedRelease(const install::Release& release);
QString offeredRelease(std::int64_t signedAt);
QString offeredIndexed(const ReleaseIndex& index, const std::string& hash);
// How old the maker's index is and until when it holds.
QString indexValidity(std::int64_t signedAt, std::int64_t until);
// The index is past its time: the server may be stopped, or tampered with.
QString indexExpired(std::int64_t until);

QString connectFailed(const std::string& host);
// In the log: a cut download goes on from `held` bytes of `size`.
QString resumed(std::int64_t held, std::int64_t size);
// The index names a release larger than max_download_mb allows.
Cause tooLargeCause(std::int64_t size, std::int64_t limit);
// In the log of a night that installed nothing.
inline const QString kNothingClosed = QStringLiteral("Nessun programma chiuso: non è stato installato nulla");
inline const QString kIndexUnchanged =
    QStringLiteral("Indice del produttore invariato dall'ultima volta: non viene scaricato di nuovo");
// A release, or with `indexFile` the index naming it, signed ahead of this clock.
QString futureRelease(std::int64_t signedAt, std::int64_t now, bool indexFile = false);
QString futureReleaseCause(std::int64_t signedAt, std::int64_t now, bool indexFile = false);
QString olderReleaseCause(std::int64_t signedAt, std::int64_t floor);
Cause signatureMissingCause(const Cause& cause);

QString shownRelease(std::int64_t signedAt, const std::string& hash);
QString unsignedRelease();

// A nightly run's pace: the random wait before it starts, the working hours
// that put it off, the wait before attempt `attempt` of `of` more.
QString delayBeforeConnecting(std::chrono::seconds span);
QString workingHoursNow(const WorkingHours& hours);
QString retryIn(std::chrono::seconds span, int attempt, int of);

QString notInstalledCause(const std::filesystem::path& root);
Cause replaceCause(const install::ReplaceResult& why);

}  // namespace text

// Exit status of `--update` and `--rollback` for each outcome.
ExitStatus exitStatus(UpdateOutcome outcome);

}  // namespace adv
