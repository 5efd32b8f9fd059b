#pragma once
// What the engine needs to know about the desktop's windows to pick a
// capture source and to follow the game in the foreground. The portable rules
// (exclusion list, full-screen test, title matching) live in
// source_selection.{h,cpp}; a backend (linux/x11_window_system.cpp, later
// win/) answers only the platform questions.
//
// Every function may be called from any thread; each call uses the backend's
// own display connection under its own lock. None throws for a window that
// vanished meanwhile: it reports the window as not visible / empty.

#include "media/capture_source.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace krel {

// A rectangle in desktop coordinates: left/top inclusive, right/bottom
// exclusive (like a Windows RECT).
struct ScreenRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool operator==(const ScreenRect&) const = default;
};

struct WindowState {
    bool exists = false;
    bool visible = false;   // mapped and viewable
    bool minimized = false; // iconic / hidden by the window manager
    ScreenRect outer;       // outer rectangle including the frame
    uint32_t clientWidth = 0;
    uint32_t clientHeight = 0;
    std::string title;      // UTF-8, at most 255 characters
    std::string process;    // the process's executable file name in the case the system reports; empty when unknown
    // The program's own names for its window class (X11 WM_CLASS: instance
    // and class name), UTF-8; empty when unknown. They name the program
    // where the process id does not (a sandboxed process reports an id of
    // its sandbox).
    std::string instanceName;
    std::string className;
    // The desktop background or a panel/dock of the desktop shell: never a
    // game, however large.
    bool desktopOrDock = false;
};

class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // Monitors in enumeration order (XRandR order on X11).
    virtual std::vector<MonitorInfo> monitors() = 0;
    // The primary monitor (the first when none is marked primary).
    virtual MonitorInfo primaryMonitor() = 0;
    // The monitor that the rectangle overlaps most, else the nearest one.
    virtual MonitorInfo monitorNearest(const ScreenRect& rect) = 0;

    // The foreground window, if any (_NET_ACTIVE_WINDOW on X11).
    virtual std::optional<WindowId> foregroundWindow() = 0;
    // Top-level windows in stacking order, topmost first.
    virtual std::vector<WindowId> topLevelWindows() = 0;
    virtual WindowState describe(WindowId window) = 0;

    // Calls `onChange` on a thread of the backend with every new foreground
    // window, until the returned handle is destroyed. Changes caused by the
    // program's own windows are not reported.
    class Watch {
    public:
        virtual ~Watch() = default;
    };
    virtual std::unique_ptr<Watch> watchForeground(std::function<void(WindowId)> onChange) = 0;
};

// The backend of this platform. Throws when the display cannot be opened.
std::unique_ptr<WindowSystem> createWindowSystem();

} // namespace krel
