#pragma once
// Test helpers for the window system on X11: a connection that plays the
// window manager (creates and maps windows and sets the EWMH/ICCCM
// properties a window manager would), real child processes that own
// windows, and a private Xvfb for tests that change the monitor layout.

#include "media/linux/x11_support.h"

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace krel::test {

// A running process, killed and reaped when the object goes away.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }
    // Waits until the process has ended without reaping it, so that it stays
    // a zombie: its /proc entry remains but names no executable.
    void waitEndedUnreaped();

private:
    pid_t pid_ = -1;
};

// `program` copied under the file name `name` into `folder`, so that a
// process of it reports that executable name.
std::filesystem::path copyProgramAs(const std::filesystem::path& program, const std::filesystem::path& folder,
                                    const std::string& name);

// What Desktop::create makes, set by chained calls:
// WindowSpec().size(1920, 1080).title("Spiel").pid(pid).
struct WindowSpec {
    int x_ = 0;
    int y_ = 0;
    unsigned width_ = 200;
    unsigned height_ = 200;
    std::string title_;                 // _NET_WM_NAME (UTF-8)
    std::optional<std::string> wmName_; // WM_NAME (Latin-1), when set
    std::optional<pid_t> pid_;          // _NET_WM_PID, when set
    unsigned border_ = 0;
    bool map_ = true;

    WindowSpec& at(int x, int y) { x_ = x; y_ = y; return *this; }
    WindowSpec& size(unsigned width, unsigned height) { width_ = width; height_ = height; return *this; }
    WindowSpec& title(std::string t) { title_ = std::move(t); return *this; }
    WindowSpec& wmName(std::string n) { wmName_ = std::move(n); return *this; }
    WindowSpec& pid(pid_t p) { pid_ = p; return *this; }
    WindowSpec& border(unsigned b) { border_ = b; return *this; }
    WindowSpec& unmapped() { map_ = false; return *this; }
};

// A connection to the display in $DISPLAY acting as its window manager.
// Clears the root properties it sets on creation and again when it goes
// away; its windows go with the connection.
class Desktop {
public:
    Desktop();
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    Display* display() const { return dpy_.get(); }
    Window create(const WindowSpec& shape);
    // A window at (x, y) that `client` is reparented into at (dx, dy), as
    // a reparenting window manager frames a client.
    Window frame(Window client, int x, int y, unsigned width, unsigned height, int dx, int dy);
    void destroy(Window w);
    void unmap(Window w);
    void raise(Window w);

    // _NET_ACTIVE_WINDOW; none removes the property.
    void setActive(std::optional<Window> w);
    // _NET_ACTIVE_WINDOW set to None (0), as window managers do on an empty
    // desktop.
    void setActiveNone();
    // _NET_CLIENT_LIST_STACKING, bottom to top; none removes the property.
    void setStacking(const std::optional<std::vector<Window>>& bottomToTop);
    // WM_STATE (NormalState, IconicState, WithdrawnState).
    void setWmState(Window w, long state);
    // _NET_WM_STATE with the named atoms.
    void setNetWmState(Window w, const std::vector<std::string>& states);
    // _NET_WM_WINDOW_TYPE with the named atoms.
    void setWindowType(Window w, const std::vector<std::string>& types);
    // WM_CLASS: instance and class name, each ended by a zero.
    void setWmClass(Window w, const std::string& instance, const std::string& className);
    // Any property, as any client may set it: `bytes` are stored as they are
    // under the named type and format (8, 16 or 32; with 32, as longs).
    void setProperty(Window w, const char* name, const char* type, int format, const std::string& bytes);

private:
    Atom atom(const char* name) const;
    void clearRoot();

    platform::DisplayPtr dpy_;
};

// A private Xvfb with XRandR; $DISPLAY points at it while the object lives.
class PrivateDisplay {
public:
    PrivateDisplay(unsigned width, unsigned height);
    ~PrivateDisplay();
    PrivateDisplay(const PrivateDisplay&) = delete;
    PrivateDisplay& operator=(const PrivateDisplay&) = delete;
    // Ends the server now, as when the session ends under the program.
    void stop();

private:
    pid_t pid_ = -1;
    std::optional<std::string> previous_;
};

} // namespace krel::test
