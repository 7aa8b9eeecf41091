#include "platform/Arguments.h"

#include "platform/Text_win.h"

#include <shellapi.h>

namespace adv::platform {

std::vector<std::string> commandLineArguments(int argc, char** argv)
{
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return {argv, argv + argc};
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(win::toUtf8(wide[i]));
    LocalFree(wide);
    return arguments;
}

}  // namespace adv::platform
