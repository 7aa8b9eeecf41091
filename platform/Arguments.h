// The program's command line, as the operator typed it.
#pragma once

#include <string>
#include <vector>

namespace adv::platform {

// The arguments, program name first, in UTF-8. Linux: `argv` as it stands.
// Windows: from the wide command line; `argv` there holds only what the
// ANSI code page can write, and a near letter for the rest ("Ω" becomes
// "O"), which would name another file.
std::vector<std::string> commandLineArguments(int argc, char** argv);

}  // namespace adv::platform
