#include "platform/Arguments.h"

namespace adv::platform {

std::vector<std::string> commandLineArguments(int argc, char** argv)
{
    return {argv, argv + argc};
}

}  // namespace adv::platform
