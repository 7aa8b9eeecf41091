#include "app/StartupSweep.h"

#include "app/ProductTable.h"
#include "platform/DirectoryQuery.h"

namespace adv {

short ProbeInstalled(const std::filesystem::path& root, std::string_view path)
{
    return platform::findOrdinaryFile(root, path) ? short{1} : short{0};
}

void StartupSweep(const std::filesystem::path& root, const ProductCheckBoxes& boxes,
                  Terminator& terminator)
{
    // Every probe is stored before anything is closed: closing a program must
    // not change what the operator is told is installed.
    for (std::size_t i = 0; i < kProducts.size(); ++i)
        boxes[i]->setValue(ProbeInstalled(root, kProducts[i].probePath));

    for (std::size_t i = 0; i < kProducts.size(); ++i) {
        if (boxes[i]->value() != 1)
            continue;
        for (std::string_view exe : kProducts[i].executables)
            terminator.terminate(exe);
    }
    terminator.terminate(kAlwaysClosed);
}

}  // namespace adv

#include "process/DoroDave.h"

namespace adv {

void ProcessTerminator::terminate(std::string_view name)
{
    TerminateProcessesByName(name, grace_);
}

}  // namespace adv
