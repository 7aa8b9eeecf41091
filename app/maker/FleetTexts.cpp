#include "app/maker/FleetTexts.h"

#include <algorithm>

#include "app/channel/ServerLayout.h"
#include "app/core/Dates.h"
#include "app/core/Failure.h"

using namespace Qt::StringLiterals;

namespace adv::fleettext {
namespace {

using text::q;

// A long list of names is cut: the count says how many there are.
constexpr std::size_t kNamesShown = 20;

QString sites(std::size_t n)
{
    return n == 1 ? u"1 sito"_s : u"%1 siti"_s.arg(n);
}

QString percent(std::size_t part, std::size_t whole)
{
    return QString::number(whole ? 100.0 * double(part) / double(whole) : 0.0, 'f', 1).replace(u'.', u',');
}

QString threshold(std::int64_t thousandths)
{
    QString shown = QString::number(double(thousandths) / 1000.0, 'f', 3);
    while (shown.endsWith(u'0'))
        shown.chop(1);
    if (shown.endsWith(u'.'))
        shown.chop(1);
    return shown.replace(u'.', u',') + u'%';
}

QString tagName(const std::string& tag, const ReleaseIndex* current, const std::vector<std::string>& kept)
{
    if (tag.empty())
        return u"versione sconosciuta"_s;
    QString name = u"versione %1"_s.arg(q(tag.substr(0, 8)));
    for (const std::string& file : kept) {
        if (const std::string_view start = releaseHashStart(file); !start.empty() && tag.starts_with(start))
            name += u" (%1)"_s.arg(q(file));
    }
    if (current && releaseTag(current->hash.data()) == tag)
        return name + u", attuale"_s;
    if (current && std::any_of(current->withdrawn.begin(), current->withdrawn.end(),
                               [&](const minisign::Hash& h) { return releaseTag(h.data()) == tag; }))
        return name + u", RITIRATA"_s;
    return name;
}

void names(QStringList& lines, const std::vector<std::string>& listed)
{
    for (std::size_t i = 0; i < std::min(listed.size(), kNamesShown); ++i)
        lines << u"    "_s + q(listed[i]);
    if (listed.size() > kNamesShown)
        lines << u"    ... e altri %1"_s.arg(listed.size() - kNamesShown);
}

QString causes(const FleetCount& count)
{
    QStringList top;
    for (std::size_t i = 0; i < std::min<std::size_t>(count.causes.size(), 3); ++i)
        top << u"%1 %2"_s.arg(count.causes[i].first.empty() ? u"?"_s : q(count.causes[i].first))
                   .arg(count.causes[i].second);
    return top.isEmpty() ? QString() : u"; cause principali: "_s + top.join(u", "_s);
}

void stages(QStringList& lines, const FleetCount& count, const ReleaseIndex& current)
{
    if (current.rollout.paused) {
        lines << u"Piano della versione attuale: in pausa"_s;
        return;
    }
    lines << u"Piano della versione attuale %1:"_s.arg(q(current.rollout.text()));
    for (std::size_t i = 0; i < count.byStage.size(); ++i) {
        const Rollout::Stage& stage = current.rollout.stages[i];
        lines << u"  %1% dei siti %2: %3"_s.arg(stage.percent)
                     .arg(text::fromDate(current.signedAt + stage.delay.count() * 3600), sites(count.byStage[i]));
    }
    lines << u"  in attesa di uno stadio non ancora aperto: %1"_s.arg(sites(count.waiting));
    if (count.placeUnknown)
        lines << u"  senza un posto per questa versione (indice letto più vecchio): %1"_s.arg(
            sites(count.placeUnknown));
}

}  // namespace

QStringList countLines(const FleetCount& count, const ReleaseIndex* current, const std::vector<std::string>& kept)
{
    QStringList lines{u"Rapporti dei siti: %1 contati, %2 non leggibili"_s.arg(count.sites).arg(count.unread.size())};
    lines << u"Versioni installate:"_s;
    for (const auto& [tag, n] : count.byInstalled)
        lines << u"  %1: %2"_s.arg(tagName(tag, current, kept), sites(n));
    if (current)
        stages(lines, count, *current);
    if (current)
        lines << u"Versione attuale provata da %1, non installata da %2 (%3%)%4"_s.arg(sites(count.tried))
                     .arg(count.failed)
                     .arg(percent(count.failed, count.tried), causes(count));
    lines << u"Siti che non scrivono da 7 giorni o più: %1"_s.arg(count.silent.size());
    names(lines, count.silent);
    lines << u"Rapporti di copie di un'installazione (stesso identificativo del sito): %1"_s.arg(count.clones.size());
    names(lines, count.clones);
    lines << u"Rapporti non leggibili, non contati: %1"_s.arg(count.unread.size());
    for (std::size_t i = 0; i < std::min(count.unread.size(), kNamesShown); ++i)
        lines << u"    %1: %2"_s.arg(q(count.unread[i].first), count.unread[i].second);
    if (count.unread.size() > kNamesShown)
        lines << u"    ... e altri %1"_s.arg(count.unread.size() - kNamesShown);
    lines << u"Versioni di AggiornaDV:"_s;
    for (const auto& [version, n] : count.byVersion)
        lines << u"  %1: %2"_s.arg(q(version), sites(n));
    return lines;
}

QString failures(const FleetCount& count, std::int64_t thousandths)
{
    return u"%1 su %2 non hanno installato la versione attuale (%3%), soglia %4%5"_s.arg(count.failed)
        .arg(sites(count.tried), percent(count.failed, count.tried), threshold(thousandths), causes(count));
}

QString pausedBecause(const FleetCount& count, std::int64_t thousandths)
{
    return u"--auto-pause: versione attuale messa in pausa: "_s + failures(count, thousandths);
}

QString notPaused(const FleetCount& count, std::int64_t thousandths)
{
    if (count.tried < kFewestTriesToPause)
        return u"--auto-pause: nessuna pausa, la versione attuale è stata provata da %1 (ne servono almeno %2)"_s
            .arg(sites(count.tried))
            .arg(kFewestTriesToPause);
    return u"--auto-pause: nessuna pausa: "_s + failures(count, thousandths);
}

QString listFailed(const QString& why)
{
    return u"la cartella %1 non si può elencare: %2"_s.arg(q(kReportFolderName), why);
}

QString memoryNotKept(const QString& path)
{
    return u"Attenzione: %1 non si può scrivere: la prossima volta si scaricano di nuovo tutti i rapporti"_s.arg(path);
}

QString memoryIgnored(const QString& why)
{
    return u"Attenzione: %1: si scaricano di nuovo tutti i rapporti"_s.arg(why);
}

QString fetched(std::size_t fetched, std::size_t listed)
{
    return u"%1 rapporti nuovi o cambiati scaricati, su %2 nella cartella"_s.arg(fetched).arg(listed);
}

}  // namespace adv::fleettext
