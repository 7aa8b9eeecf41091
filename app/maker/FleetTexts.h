// What --fleet tells the maker, in Italian: the count of the sites' reports,
// and why --auto-pause paused the current release or left it.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

#include "app/channel/ReleaseIndex.h"
#include "app/maker/FleetCount.h"

namespace adv::fleettext {

// The count's lines: `kept` the release files the server keeps, to name
// the releases the sites run.
QStringList countLines(const FleetCount& count, const ReleaseIndex* current, const std::vector<std::string>& kept);

// "11 siti su 1000 (1,1%) ..., soglia 1%; cause: ...".
QString failures(const FleetCount& count, std::int64_t thousandths);
QString pausedBecause(const FleetCount& count, std::int64_t thousandths);
QString notPaused(const FleetCount& count, std::int64_t thousandths);
inline const QString kAlreadyPaused = QStringLiteral("--auto-pause: la versione attuale è già in pausa, nulla da fare");
inline const QString kNothingToPause =
    QStringLiteral("--auto-pause: sul server non c'è un indice, nulla da sospendere");
QString listFailed(const QString& why);
inline const QString kNoReportFolder =
    QStringLiteral("sul server non c'è la cartella dei rapporti: nessun sito ne ha ancora scritto uno");
QString memoryNotKept(const QString& path);
QString memoryIgnored(const QString& why);
QString fetched(std::size_t fetched, std::size_t listed);

// Why a report file is not counted, beside what readReport says.
inline const QString kTooLarge = QStringLiteral("più grande di un rapporto: non scaricato");
inline const QString kNotFetched = QStringLiteral("non scaricato");
inline const QString kNotItsName = QStringLiteral("il sito nel rapporto non è quello del nome del file");

}  // namespace adv::fleettext
