#include "app/core/UpdateTexts.h"

#include <QDateTime>
#include <QDir>
#include <QLocale>

#include <algorithm>

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

QString futureRelease(std::int64_t signedAt, std::int64_t now)
{
    return u"La versione sul server è firmata %1, più di un giorno dopo l'ora di questo computer (%2): "
           u"aggiornamento annullato"_s.arg(onDate(signedAt), shownDate(now));
}

QString futureReleaseCause(std::int64_t signedAt, std::int64_t now)
{
    return u"la versione sul server è firmata %1, più di un giorno dopo l'ora di questo computer (%2)"_s.arg(
        onDate(signedAt), shownDate(now));
}

QString olderReleaseCause(std::int64_t signedAt, std::int64_t floor)
{
    return u"la versione sul server è firmata %1, prima di una già installata qui (firmata %2)"_s.arg(onDate(signedAt),
                                                                                                      onDate(floor));
}

Cause signatureMissingCause(const Cause& cause)
{
    return {u"il server non offre la firma %1%2: %3"_s.arg(
                QString::fromUtf8(kUpdatedProgram.data(), static_cast<qsizetype>(kUpdatedProgram.size())),
                QString::fromUtf8(install::kSignatureSuffix.data(),
                                  static_cast<qsizetype>(install::kSignatureSuffix.size())),
                cause.text),
            cause.detail};
}

QString shownDate(std::int64_t secondsSince1970)
{
    const QDateTime at = QDateTime::fromSecsSinceEpoch(secondsSince1970);
    // The first of the month is "1º" in Italian.
    const QString day = at.date().day() == 1 ? u"1º"_s : QString::number(at.date().day());
    return day + QLocale(QLocale::Italian, QLocale::Italy).toString(at, u" MMMM yyyy, HH:mm"_s);
}

QString dateWith(std::int64_t secondsSince1970, const QString& elided, const QString& whole)
{
    // "l'8", "l'11", "dall'8": the numbers that are said with a vowel first.
    const int day = QDateTime::fromSecsSinceEpoch(secondsSince1970).date().day();
    return (day == 8 || day == 11 ? elided : whole) + shownDate(secondsSince1970);
}

QString onDate(std::int64_t secondsSince1970)
{
    return dateWith(secondsSince1970, u"l'"_s, u"il "_s);
}

QString fromDate(std::int64_t secondsSince1970)
{
    return dateWith(secondsSince1970, u"dall'"_s, u"dal "_s);
}

QString shownRelease(std::int64_t signedAt, const std::string& hash)
{
    return u"versione firmata %1, BLAKE2b-512 %2"_s.arg(onDate(signedAt), QString::fromStdString(hash));
}

QString unsignedRelease()
{
    return u"versione non firmata"_s;
}

QString shownSpan(std::chrono::seconds span)
{
    const auto total = static_cast<qint64>(span.count());
    const qint64 hours = total / 3600, minutes = total / 60 % 60, seconds = total % 60;
    if (hours > 0)
        return u"%1 h %2 min %3 s"_s.arg(hours).arg(minutes).arg(seconds);
    if (minutes > 0)
        return u"%1 min %2 s"_s.arg(minutes).arg(seconds);
    return u"%1 s"_s.arg(seconds);
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

Cause because(const QString& italian, std::string_view detail)
{
    return {italian, detail.empty() ? QString() : shownValue(detail)};
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

Cause ftpCause(const platform::FtpResult& why, const Config& config)
{
    using platform::FtpFailure;
    QString what;
    switch (why.failure) {
    case FtpFailure::None:
    case FtpFailure::Setting: what = u"un'impostazione del collegamento non si può usare"_s; break;
    case FtpFailure::Connection:
        what = why.reply == 530
                   ? u"il server ha rifiutato l'accesso: nome utente o password non accettati"_s
                   : u"nessuna sessione con il server %1, porta %2"_s.arg(QString::fromStdString(config.host))
                         .arg(config.ftp.port);
        break;
    case FtpFailure::Folder:
        what = u"il server non apre la cartella \"%1\""_s.arg(shownValue(config.remoteFolder));
        break;
    case FtpFailure::RemoteFile: what = u"il file non si trova sul server"_s; break;
    case FtpFailure::Size: what = u"il file arrivato non è della dimensione che il server indica"_s; break;
    case FtpFailure::Transfer: what = u"il trasferimento si è interrotto, o era più lento del minimo"_s; break;
    case FtpFailure::Sink: what = u"il file scaricato non si è potuto scrivere"_s; break;
    case FtpFailure::Refused: what = u"il server ha rifiutato l'operazione"_s; break;
    case FtpFailure::Interrupted: what = u"interrotto su richiesta"_s; break;
    case FtpFailure::TlsRefused:
        what = u"il server non accetta il collegamento cifrato (TLS): controllare la chiave tls "
               u"(explicit, implicit o off) con chi gestisce il server"_s;
        break;
    case FtpFailure::Untrusted:
        // Its own reply ("234 ...") was a yes: quoting it would mislead.
        return because(u"il certificato del server non è fidato, o non è per questo nome: controllare ca_file "
                       u"e host"_s,
                       why.detail);
    }
    // The server's words are IT's, beside the library's.
    Cause cause = because(what, why.detail);
    if (!why.serverReply.empty())
        cause.detail = u"risposta del server: \"%1\"%2"_s.arg(
            shownValue(why.serverReply), cause.detail.isEmpty() ? QString() : u"; "_s + cause.detail);
    return cause;
}

Cause replaceCause(const install::ReplaceResult& why)
{
    switch (why.status) {
    case install::ReplaceStatus::Busy: return because(u"un altro aggiornamento è in corso"_s, why.detail);
    case install::ReplaceStatus::HeldOpen:
        return because(u"un altro programma tiene aperto %1: chiuderlo e riprovare"_s.arg(
                           QString::fromUtf8(kUpdatedProgram.data(), static_cast<qsizetype>(kUpdatedProgram.size()))),
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
    }
    return ExitStatus::DownloadFailed;
}

}  // namespace adv
