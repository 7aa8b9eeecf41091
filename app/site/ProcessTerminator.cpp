#include "app/site/ProcessTerminator.h"

#include "process/DoroDave.h"

namespace adv {

TerminateReport ProcessTerminator::terminate(std::span<const std::string_view> names)
{
    return TerminateProcessesByName(names, grace_, mayForce());
}

}  // namespace adv
