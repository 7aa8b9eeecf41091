// What the operator's terminal may do to a run without a window.
#pragma once

#include <cstdio>
#include <string_view>

namespace adv::platform {

// From now on an interrupt (Ctrl+C, the terminal closing, a polite kill)
// only raises a flag that the running work polls, so an update in progress
// can stop cleanly instead of dying with its temporary file and lock; and a
// reader of the output that goes away (`| head`) does not stop the program.
void installConsoleSignalHandlers();

// True once an interrupt has arrived.
bool interruptRequested();

// Writes `utf8` and a line end to `to` at once: bytes to a file or a pipe,
// and to a Windows console as text, whatever its code page.
void writeLine(std::FILE* to, std::string_view utf8);

}  // namespace adv::platform
