#pragma once
// The desktop program's entry: from the command line, the environment and
// where the executable lies it decides whether this process uninstalls,
// installs itself, hands over to a running instance, restarts into an update
// found at start-up, or runs (tray, hotkeys, engine) until it is ended.

#include <string>
#include <vector>

namespace krel {

// The process's exit code. `args` are the command-line arguments without
// the program name; flags are found by plain substring search in their
// space-joined text.
int runDesktop(const std::vector<std::string>& args);

} // namespace krel
