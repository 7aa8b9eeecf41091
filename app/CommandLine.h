// The program's entry: command line, configuration, then a window or a console run.
#pragma once

#include <string_view>

namespace adv {

// Reads the command line and the configuration, then runs the window or a
// run without one; returns the program's exit status (ExitStatus).
// `builtInKey` is the maker's minisign public key built into the program, or
// empty.
int runCommandLine(int argc, char** argv, std::string_view builtInKey);

}  // namespace adv
