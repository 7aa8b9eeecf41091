// The program's entry: command line, configuration, then a window or a console run.
#pragma once

namespace adv {

// Exit statuses beyond 0 and the update outcomes.
inline constexpr int kExitUsage = 64;
inline constexpr int kExitNoDisplay = 69;
inline constexpr int kExitConfig = 78;

int runAggiornaDV(int argc, char** argv);

}  // namespace adv
