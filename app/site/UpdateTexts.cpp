#include "app/site/UpdateTexts.h"

#include <QDateTime>
#include <QDir>
#include <QLocale>

#include <algorithm>

#include "app/channel/ServerLayout.h"
#include "app/core/Config.h"
#include "app/core/ProductTable.h"
#include "platform/OrdinaryFile.h"

using namespace Qt::StringLiterals;

namespace adv {
namespace text {

QString notDue(std::int64_t from)
{
    return u"Aggiornamento disponibile: per questo computer %1"_s.arg(fromDate(from));
}

QString resumed(std::int64_t held, std::int64_t size)
{
    return u"Download ripreso dal byte %1 di %2, dove si era interrotto"_s.arg(held).arg(size);
}

Cause tooLargeCause(std::int64_t size, std::int64_t limit)
{
    const auto mb = [](std::int64_t bytes) { return QString::number((bytes + (1 << 20) - 1) >> 20); };
    return Cause(u"la versione offerta è di %1 MB, più di quanti max_download_mb ne permette (%2 MB)"_s.arg(mb(size),
                                                                                                            mb(limit)));
}

QString restored(std::int64_t signedAt)
{
    return u"Versione ritirata dal produttore: ripristinata la versione firmata %1"_s.arg(onDate(signedAt));
}

QString withdrawnHere(std::int64_t signedAt)
{
    return u"La versione installata è stata ritirata dal produttore: si torna a quella firmata %1"_s.arg(
        onDate(signedAt));
}

QString olderIndexCause(std::int64_t signedAt, std::int64_t seen)
{
    return u"l'indice sul server è firmato %1, prima di uno già visto qui (firmato %2)"_s.arg(onDate(signedAt),
                                                                                              onDate(seen));
}

QString installedRelease(const install::Release& release)
{
    const QString shown = release.signedAt ? shownRelease(*release.signedAt, release.hash)
                          : release.hash.empty()
                              ? unsignedRelease()
                              : u"versione non firmata, BLAKE2b-512 %1"_s.arg(QString::fromStdString(release.hash));
    return u"Installata: "_s + shown;
}

QString offeredRelease(std::int64_t signedAt)
{
    return u"Il server offre la versione firmata %1"_s.arg(onDate(signedAt));
}

QString offeredIndexed(const ReleaseIndex& index, const std::string& hash)
{
    QString plan =
        index.rollout.paused ? u"in pausa"_s : u"piano %1"_s.arg(QString::fromStdString(index.rollout.text()));
    for (const Rollout::Stage& stage : index.rollout.paused ? std::vector<Rollout::Stage>{} : index.rollout.stages)
        plan += u"; %1% dei siti %2"_s.arg(stage.percent)
                    .arg(fromDate(index.signedAt + std::chrono::seconds(stage.delay).count()));
    return u"Il server offre: %1; %2"_s.arg(shownRelease(index.signedAt, hash), plan);
}

QString connectFailed(const std::string& host)
{
    return u"Impossibile connettersi al server "_s + QString::fromStdString(host) + u". Riprovare più tardi"_s;
}

QString futureReleaseCause(std::int64_t signedAt, std::int64_t now, bool indexFile)
{
    return (indexFile ? u"l'indice sul server è firmato %1"_s : u"la versione sul server è firmata %1"_s)
               .arg(onDate(signedAt)) +
           u", più di un giorno dopo l'ora di questo computer (%1)"_s.arg(shownDate(now));
}

QString futureRelease(std::int64_t signedAt, std::int64_t now, bool indexFile)
{
    const QString cause = futureReleaseCause(signedAt, now, indexFile);
    return cause.left(1).toUpper() + cause.mid(1) + u": aggiornamento annullato"_s;
}

QString olderReleaseCause(std::int64_t signedAt, std::int64_t floor)
{
    return u"la versione sul server è firmata %1, prima di una già installata qui (firmata %2)"_s.arg(onDate(signedAt),
                                                                                                      onDate(floor));
}

QString indexValidity(std::int64_t signedAt, std::int64_t until)
{
    return u"Indice firmato %1, valido fino %2"_s.arg(onDate(signedAt), untilDate(until));
}

QString indexExpired(std::int64_t until)
{
    return u"L'indice delle versioni è scaduto %1; il server potrebbe essere fermo o manomesso"_s.arg(onDate(until));
}

Cause signatureMissingCause(const Cause& cause)
{
    return {u"il server non offre la firma %1: %2"_s.arg(q(signatureName(kUpdatedProgram)), cause.text), cause.detail};
}

QString shownRelease(std::int64_t signedAt, const std::string& hash)
{
    return u"versione firmata %1, BLAKE2b-512 %2"_s.arg(onDate(signedAt), QString::fromStdString(hash));
}

QString unsignedRelease()
{
    return u"versione non firmata"_s;
}

QString delayBeforeConnecting(std::chrono::seconds span)
{
    return u"Attesa di %1 prima del collegamento"_s.arg(shownSpan(span));
}

QString workingHoursNow(const WorkingHours& hours)
{
    const auto clock = [](int minute) {
        return u"%1:%2"_s.arg(minute / 60, 2, 10, QChar(u'0')).arg(minute % 60, 2, 10, QChar(u'0'));
    };
    return u"Orario di lavoro (%1-%2): nessun programma viene chiuso, l'aggiornamento è rimandato"_s.arg(
        clock(hours.from), clock(hours.to));
}

QString retryIn(std::chrono::seconds span, int attempt, int of)
{
    return u"Nuovo tentativo tra %1 (%2 di %3)"_s.arg(shownSpan(span)).arg(attempt).arg(of);
}

QString notInstalledCause(const std::filesystem::path& root)
{
    std::string below(kUpdatedProduct.probePath.substr(1));
    std::replace(below.begin(), below.end(), '\\', '/');
    // A drive ("z:") is its top folder, written as Windows writes it: Z:\dolvo\dolvo.exe.
    QString top = QString::fromStdU16String(root.u16string());
    if (platform::isDriveName(top.toStdString()))
        top = top.toUpper();
    return u"non c'è il file %1"_s.arg(
        QDir::toNativeSeparators(QDir::cleanPath(top + u'/' + QString::fromStdString(below))));
}

Cause replaceCause(const install::ReplaceResult& why)
{
    switch (why.status) {
    case install::ReplaceStatus::Busy: return because(u"un altro aggiornamento è in corso"_s, why.detail);
    case install::ReplaceStatus::HeldOpen:
        return because(u"un altro programma tiene aperto %1: chiuderlo e riprovare"_s.arg(q(kUpdatedProgram)),
                       why.detail);
    case install::ReplaceStatus::Damaged:
        return because(u"il registro %1 non è nella forma che l'aggiornamento scrive, e non viene preso per "
                       u"\"nessuna versione installata\": cancellarlo solo sapendo quale versione è installata"_s.arg(
                           QString::fromStdString(std::string(kUpdatedProgram) + std::string(install::kRecordSuffix))),
                       why.detail);
    default: return because(u"il programma installato non si è potuto sostituire"_s, why.detail);
    }
}

}  // namespace text

ExitStatus exitStatus(UpdateOutcome outcome)
{
    switch (outcome) {
    case UpdateOutcome::Updated:
    case UpdateOutcome::AlreadyCurrent:
    case UpdateOutcome::RolledBack: return ExitStatus::Success;
    case UpdateOutcome::Cancelled: return ExitStatus::Cancelled;
    case UpdateOutcome::ConnectFailed: return ExitStatus::ConnectFailed;
    case UpdateOutcome::FolderMissing: return ExitStatus::FolderMissing;
    case UpdateOutcome::NotInstalled: return ExitStatus::NotInstalled;
    case UpdateOutcome::DownloadFailed:
    case UpdateOutcome::Interrupted: return ExitStatus::DownloadFailed;
    case UpdateOutcome::NotAuthentic: return ExitStatus::NotAuthentic;
    case UpdateOutcome::OlderRelease: return ExitStatus::OlderRelease;
    case UpdateOutcome::FutureRelease: return ExitStatus::FutureRelease;
    case UpdateOutcome::RecordDamaged: return ExitStatus::RecordDamaged;
    case UpdateOutcome::ProgramRunning: return ExitStatus::ProgramRunning;
    case UpdateOutcome::NothingKept: return ExitStatus::NothingKept;
    case UpdateOutcome::RollBackFailed: return ExitStatus::RollBackFailed;
    case UpdateOutcome::NotDue:
    case UpdateOutcome::Paused:
    case UpdateOutcome::Restored: return ExitStatus::Success;
    case UpdateOutcome::UpdateAvailable: return ExitStatus::UpdateAvailable;
    case UpdateOutcome::SignatureMissing: return ExitStatus::SignatureMissing;
    case UpdateOutcome::AnotherUpdate: return ExitStatus::AnotherUpdate;
    case UpdateOutcome::IndexExpired: return ExitStatus::IndexExpired;
    }
    return ExitStatus::DownloadFailed;
}

}  // namespace adv
