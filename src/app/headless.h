#pragma once
// Headless mode: the engine without tray or overlay, for Linux users and
// scripts. Loads the settings, starts the engine and prints one German line
// per event on standard output. SIGUSR1 saves a clip, SIGUSR2 starts or
// stops a recording, SIGINT and SIGTERM end the program cleanly (an open
// recording is finalized, running clip jobs finish). Signal handlers only set
// flags; all work happens on the main thread.

namespace krel {

// Runs until SIGINT or SIGTERM; returns the process exit code.
int runHeadless();

} // namespace krel
