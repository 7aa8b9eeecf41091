#include "app/core/ProcessTerminator.h"

#include "process/DoroDave.h"

namespace adv {

TerminateReport ProcessTerminator::terminate(std::string_view name)
{
    return TerminateProcessesByName(name, grace_);
}

}  // namespace adv
