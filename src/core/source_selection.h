#pragma once
// Choosing what to capture: the game in the foreground, a monitor by index,
// or a window by title.

#include "core/window_system.h"

#include <array>
#include <span>
#include <optional>
#include <string>
#include <string_view>

namespace krel {

// Process file names (compared in lower case, whole name) whose full-screen
// windows are never taken for games: the desktop shell, this program, web
// browsers, chat and editor programs, system overlays.
std::span<const std::string_view> excludedProcesses();
bool isExcludedProcess(std::string_view processFileName);

// True when `window` covers the whole of `monitor` (may extend past it).
bool coversMonitor(const ScreenRect& window, const ScreenRect& monitor);

// The foreground window when it is a game: visible, not minimised, no
// desktop or dock window, of a program not on the exclusion list (by process
// file name or either window class name), and covering its whole monitor.
std::optional<WindowId> detectGame(WindowSystem& ws);

// The first top-level window (topmost first) that is visible, not
// minimised, larger than 100 x 100 and titled exactly `title`.
std::optional<WindowId> findWindowByTitle(WindowSystem& ws, const std::string& title);

// The monitor at `index` in enumeration order, else the primary monitor.
MonitorInfo monitorByIndex(WindowSystem& ws, uint32_t index);

} // namespace krel
