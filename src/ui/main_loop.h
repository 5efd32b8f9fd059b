#pragma once
// The main thread's event loop: every window, the tray, the hotkeys and all
// control calls to the engine live on it. Other threads reach it only through
// runOnMain, which queues a task and never runs it inline, so a task posted
// from the main thread itself runs after the current event has been handled.
// The Linux backend (linux/glib_main_loop.cpp) runs GTK's loop.

#include <functional>

namespace krel {

using TimerId = unsigned;

// Opens the desktop connection (GTK on the default display); false when
// there is none. Call once, on the main thread, before anything else here.
bool initMainLoop();
// Queues `task` for the main thread; callable from any thread. The task owns
// whatever it captured; a task still queued when the loop ends is dropped.
void runOnMain(std::function<void()> task);
// Main thread only. `tick` runs every `intervalMs` until stopTimer.
TimerId startTimer(unsigned intervalMs, std::function<void()> tick);
void stopTimer(TimerId id);
// Runs the loop until quitMainLoop (main thread).
void runMainLoop();
void quitMainLoop();
// Calls `onSignal` on the main thread for SIGTERM, SIGINT and SIGHUP.
void onTerminationSignals(std::function<void()> onSignal);
// Calls `onLost` (on the thread that noticed) when the desktop connection
// breaks; it must end the process itself. Without it the process would end
// at once with an error.
void onDisplayLost(std::function<void()> onLost);

} // namespace krel
