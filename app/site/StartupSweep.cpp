#include "app/site/StartupSweep.h"

#include "app/core/ProductTable.h"
#include "app/core/RunLog.h"
#include "platform/OrdinaryFile.h"

using namespace Qt::StringLiterals;

namespace adv {

short ProbeInstalled(const std::filesystem::path& root, std::string_view path)
{
    return platform::findOrdinaryFile(root, path) ? short{1} : short{0};
}

TerminateReport StartupSweep(const std::filesystem::path& root, const ProductCheckBoxes& boxes, Terminator& terminator)
{
    // Every probe is stored before anything is closed: closing a program must
    // not change what the operator is told is installed.
    ProbeProducts(root, boxes);
    return CloseTicked(boxes, terminator);
}

void ProbeProducts(const std::filesystem::path& root, const ProductCheckBoxes& boxes)
{
    for (std::size_t i = 0; i < kProducts.size(); ++i)
        boxes[i]->setValue(ProbeInstalled(root, kProducts[i].probePath));
}

TerminateReport CloseTicked(const ProductCheckBoxes& boxes, Terminator& terminator)
{
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        if (boxes[i]->value() == 1)
            names.insert(names.end(), kProducts[i].executables.begin(), kProducts[i].executables.end());
    }
    names.push_back(kAlwaysClosed);
    // One call: the programs that take their time take it together.
    TerminateReport report = terminator.terminate(names);

    QStringList ticked;
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        if (boxes[i]->value() == 1)
            ticked << QString::fromUtf8(kProducts[i].caption.data(), qsizetype(kProducts[i].caption.size()));
    }
    runlog::write(u"Prodotti installati: %1; programmi chiusi: %2, di cui %3 forzatamente"_s
                      .arg(ticked.isEmpty() ? u"nessuno"_s : ticked.join(u", "_s))
                      .arg(report.closed + report.forced)
                      .arg(report.forced));
    for (const QString& line : sweepLines(report))
        runlog::write(line);
    return report;
}

namespace {

// "processo 41" or "processi 41, 42": the pids of the run of `programs` from
// `first` that share its name and `same`, and where that run ends.
template <typename Program, typename Same>
std::pair<QString, std::size_t> pidsFrom(std::span<const Program> programs, std::size_t first, Same same)
{
    // How many a stranger starts is not for the line's length to follow.
    constexpr qsizetype kShown = 10;
    QStringList pids;
    std::size_t end = first;
    for (; end < programs.size() && programs[end].name == programs[first].name && same(programs[end]); ++end)
        pids << QString::number(programs[end].pid);
    const QString more = pids.size() > kShown ? u" e altri %1"_s.arg(pids.size() - kShown) : QString();
    return {(pids.size() == 1 ? u"processo "_s : u"processi "_s) + pids.mid(0, kShown).join(u", "_s) + more, end};
}

}  // namespace

QStringList notClosedLines(std::span<const LeftRunning> left)
{
    QStringList lines;
    for (std::size_t i = 0; i < left.size();) {
        const auto [pids, j] = pidsFrom(left, i, [&](const LeftRunning& l) { return l.why == left[i].why; });
        QString why;
        switch (left[i].why) {
        case LeftBecause::NotAllowed: why = u"mancano i permessi per chiuderlo"_s; break;
        case LeftBecause::WouldNotEnd: why = u"non è terminato nemmeno forzandone la chiusura"_s; break;
        case LeftBecause::KeptStarting: why = u"si riavvia ogni volta che viene chiuso"_s; break;
        }
        lines << u"%1 non si è potuto chiudere (%2): %3"_s.arg(QString::fromStdString(left[i].name), pids, why);
        i = j;
    }
    return lines;
}

QStringList sweepLines(const TerminateReport& report)
{
    QStringList lines = notClosedLines(report.left);
    const auto named = [&lines](std::span<const EndedByForce> ended, const QString& line) {
        for (std::size_t i = 0; i < ended.size();) {
            const auto [pids, j] = pidsFrom(ended, i, [](const EndedByForce&) { return true; });
            lines << line.arg(QString::fromStdString(ended[i].name), pids);
            i = j;
        }
    };
    named(report.unasked, u"%1 è stato chiuso senza poterglielo chiedere (%2): il lavoro non salvato è perso"_s);
    named(report.overdue, u"%1 è stato chiuso forzatamente (%2): il lavoro non salvato potrebbe essere perso"_s);
    return lines;
}

}  // namespace adv
