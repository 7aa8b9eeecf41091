#include "app/core/StartupSweep.h"

#include "app/core/ProductTable.h"
#include "app/core/RunLog.h"
#include "platform/OrdinaryFile.h"

using namespace Qt::StringLiterals;

namespace adv {

short ProbeInstalled(const std::filesystem::path& root, std::string_view path)
{
    return platform::findOrdinaryFile(root, path) ? short{1} : short{0};
}

std::vector<LeftRunning> StartupSweep(const std::filesystem::path& root, const ProductCheckBoxes& boxes,
                                      Terminator& terminator)
{
    // Every probe is stored before anything is closed: closing a program must
    // not change what the operator is told is installed.
    for (std::size_t i = 0; i < kProducts.size(); ++i)
        boxes[i]->setValue(ProbeInstalled(root, kProducts[i].probePath));

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
    for (const QString& line : notClosedLines(report.left))
        runlog::write(line);
    return std::move(report.left);
}

QStringList notClosedLines(std::span<const LeftRunning> left)
{
    QStringList lines;
    for (std::size_t i = 0; i < left.size();) {
        QStringList pids;
        std::size_t j = i;
        for (; j < left.size() && left[j].name == left[i].name && left[j].why == left[i].why; ++j)
            pids << QString::number(left[j].pid);
        QString why;
        switch (left[i].why) {
        case LeftBecause::NotAllowed: why = u"mancano i permessi per chiuderlo"_s; break;
        case LeftBecause::WouldNotEnd: why = u"non è terminato nemmeno forzandone la chiusura"_s; break;
        case LeftBecause::KeptStarting: why = u"si riavvia ogni volta che viene chiuso"_s; break;
        }
        lines << u"%1 non si è potuto chiudere (%2 %3): %4"_s.arg(QString::fromStdString(left[i].name),
                                                                  pids.size() == 1 ? u"processo"_s : u"processi"_s,
                                                                  pids.join(u", "_s), why);
        i = j;
    }
    return lines;
}

}  // namespace adv
