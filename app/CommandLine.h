// The program's entry: command line, configuration, then a window or a console run.
#pragma once

namespace adv {

// Reads the command line and the configuration, then runs the window or a
// run without one; returns the program's exit status (ExitStatus).
int runCommandLine(int argc, char** argv);

}  // namespace adv
