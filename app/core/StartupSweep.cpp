#include "app/core/StartupSweep.h"

#include "app/core/ProductTable.h"
#include "platform/OrdinaryFile.h"

namespace adv {

short ProbeInstalled(const std::filesystem::path& root, std::string_view path)
{
    return platform::findOrdinaryFile(root, path) ? short{1} : short{0};
}

std::vector<NotClosed> StartupSweep(const std::filesystem::path& root, const ProductCheckBoxes& boxes,
                                    Terminator& terminator)
{
    std::vector<NotClosed> left;
    const auto close = [&](std::string_view name) {
        TerminateReport report = terminator.terminate(name);
        if (report.notClosed > 0)
            left.push_back({name, std::move(report)});
    };
    // Every probe is stored before anything is closed: closing a program must
    // not change what the operator is told is installed.
    for (std::size_t i = 0; i < kProducts.size(); ++i)
        boxes[i]->setValue(ProbeInstalled(root, kProducts[i].probePath));

    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        if (boxes[i]->value() != 1)
            continue;
        for (std::string_view exe : kProducts[i].executables)
            close(exe);
    }
    close(kAlwaysClosed);
    return left;
}

}  // namespace adv
