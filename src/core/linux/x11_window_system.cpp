// The window system on X11: monitors through XRandR, the foreground window
// and the stacking order through the window manager's EWMH properties on the
// root window, window states through the ICCCM/EWMH properties of each
// client, and foreground changes through PropertyNotify of
// _NET_ACTIVE_WINDOW on a connection of the watcher's own.

#include "core/window_system.h"

#include "config/log.h"
#include "core/hr_error.h"
#include "core/text_utf8.h"
#include "core/thread_name.h"
#include "media/linux/x11_support.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace krel {

namespace {

using platform::DisplayPtr;
using platform::ErrorTrap;
using platform::Fd;
using platform::XFreeDeleter;

struct Atoms {
    Atom activeWindow = None;
    Atom clientListStacking = None;
    Atom wmState = None;
    Atom netWmState = None;
    Atom netWmStateHidden = None;
    Atom netWmPid = None;
    Atom netWmName = None;
    Atom utf8String = None;
    Atom netWmWindowType = None;
    Atom typeDesktop = None;
    Atom typeDock = None;

    explicit Atoms(Display* d) {
        if (!d) return;
        const char* names[] = {"_NET_ACTIVE_WINDOW", "_NET_CLIENT_LIST_STACKING", "WM_STATE",
                               "_NET_WM_STATE",      "_NET_WM_STATE_HIDDEN",      "_NET_WM_PID",
                               "_NET_WM_NAME",       "UTF8_STRING",               "_NET_WM_WINDOW_TYPE",
                               "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK"};
        Atom values[std::size(names)] = {};
        XInternAtoms(d, const_cast<char**>(names), static_cast<int>(std::size(names)), False, values);
        activeWindow = values[0];
        clientListStacking = values[1];
        wmState = values[2];
        netWmState = values[3];
        netWmStateHidden = values[4];
        netWmPid = values[5];
        netWmName = values[6];
        utf8String = values[7];
        netWmWindowType = values[8];
        typeDesktop = values[9];
        typeDock = values[10];
    }
};

// More than any window manager lists; bounds what one read may return.
constexpr long kMaxItems = 1 << 16;

// A 32-bit property as Xlib hands it over: an array of longs. `present` tells
// a missing property (no type) from an empty one.
struct Property32 {
    bool present = false;
    std::vector<unsigned long> items;
};

Property32 readProperty32(Display* d, Window w, Atom property, Atom type) {
    Property32 result;
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* raw = nullptr;
    const int status = XGetWindowProperty(d, w, property, 0, kMaxItems, False, type,
                                          &actualType, &format, &count, &after, &raw);
    std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
    if (status != Success || actualType == None) return result;
    result.present = true;
    if (format != 32 || actualType != type || !data) return result;
    const auto* values = reinterpret_cast<const unsigned long*>(data.get());
    result.items.assign(values, values + count);
    return result;
}

// A text property (format 8) as its bytes and its type; nullopt when it is
// missing or not of format 8. Any client may set any property to anything,
// so the format decides how the data is read, never the property's name.
struct Property8 {
    Atom type = None;
    std::string bytes;
};

std::optional<Property8> readProperty8(Display* d, Window w, Atom property) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* raw = nullptr;
    // 1024 longs: 4 KiB, more than any title the program keeps.
    const int status = XGetWindowProperty(d, w, property, 0, 1024, False, AnyPropertyType, &actualType, &format,
                                          &count, &after, &raw);
    std::unique_ptr<unsigned char, XFreeDeleter> data(raw);
    if (status != Success || actualType == None || format != 8 || !data) return std::nullopt;
    return Property8{actualType, std::string(reinterpret_cast<const char*>(data.get()), count)};
}

// A text property as UTF-8: UTF8_STRING as it is (ill-formed parts
// replaced), anything else (STRING, and the Latin-1 part of COMPOUND_TEXT)
// as ISO 8859-1.
std::optional<std::string> readText(Display* d, Window w, Atom property, const Atoms& atoms) {
    const auto p = readProperty8(d, w, property);
    if (!p) return std::nullopt;
    // Some clients count the terminating zero in.
    std::string_view bytes = p->bytes;
    if (const size_t nul = bytes.find('\0'); nul != std::string_view::npos) bytes = bytes.substr(0, nul);
    return p->type == atoms.utf8String ? validUtf8(bytes) : latin1ToUtf8(bytes);
}

// The file name of the executable of process `pid`; empty when unknown.
std::string processFileName(unsigned long pid) {
    if (pid == 0 || pid > static_cast<unsigned long>(std::numeric_limits<pid_t>::max())) return {};
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink(fmt::format("/proc/{}/exe", pid), ec);
    if (!ec) return validUtf8(exe.filename().string());
    std::ifstream comm(fmt::format("/proc/{}/comm", pid));
    std::string name;
    std::getline(comm, name);
    return validUtf8(name);
}

std::optional<WindowId> activeWindow(Display* d, const Atoms& atoms) {
    const auto active = readProperty32(d, DefaultRootWindow(d), atoms.activeWindow, XA_WINDOW);
    if (active.items.empty() || active.items[0] == None) return std::nullopt;
    return static_cast<WindowId>(active.items[0]);
}

// A window's place in the tree: its parent and its children from the
// bottom of the stack to the top; nullopt when the window is gone.
struct TreeNode {
    Window parent = None;
    std::vector<Window> children;
};

std::optional<TreeNode> queryTree(Display* d, Window w) {
    Window rootReturn = None;
    Window* children = nullptr;
    unsigned int count = 0;
    TreeNode node;
    if (!XQueryTree(d, w, &rootReturn, &node.parent, &children, &count)) return std::nullopt;
    std::unique_ptr<Window, XFreeDeleter> owned(children);
    node.children.assign(children, children + count);
    return node;
}

// The window's ancestor just below the root: the frame a reparenting window
// manager put around it, or the window itself. None when it is gone.
Window frameOf(Display* d, Window w) {
    const Window root = DefaultRootWindow(d);
    for (int depth = 0; depth < 64; ++depth) {
        const auto node = queryTree(d, w);
        if (!node) return None;
        if (node->parent == root || node->parent == None) return w;
        w = node->parent;
    }
    return w;
}

// The client inside a top-level window: the window itself or the first
// descendant carrying WM_STATE (a frame of a window manager without EWMH).
Window clientOf(Display* d, Window w, Atom wmState, int depth = 0) {
    if (readProperty32(d, w, wmState, wmState).present) return w;
    if (depth >= 3) return None;
    const auto node = queryTree(d, w);
    if (!node) return None;
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
        if (const Window client = clientOf(d, *it, wmState, depth + 1)) return client;
    }
    return None;
}

// Monitors in XRandR order, named and placed as the capture knows them
// (without XRandR: the whole screen). The primary one is the monitor that
// holds the primary output; without such an output, the first one the server
// flags as primary; else none, and the first stands in.
std::vector<MonitorInfo> queryMonitors(Display* d) {
    int event = 0, error = 0;
    if (!XRRQueryExtension(d, &event, &error)) return platform::queryMonitors(d);
    const Window root = DefaultRootWindow(d);
    int count = 0;
    std::unique_ptr<XRRMonitorInfo, void (*)(XRRMonitorInfo*)> list(XRRGetMonitors(d, root, True, &count),
                                                                    [](XRRMonitorInfo* m) {
                                                                        if (m) XRRFreeMonitors(m);
                                                                    });
    if (!list || count <= 0) return platform::queryMonitors(d);
    const std::span<const XRRMonitorInfo> raw(list.get(), static_cast<size_t>(count));
    const RROutput primaryOutput = XRRGetOutputPrimary(d, root);
    auto primary = std::find_if(raw.begin(), raw.end(), [&](const XRRMonitorInfo& m) {
        return primaryOutput != None && std::find(m.outputs, m.outputs + m.noutput, primaryOutput) != m.outputs + m.noutput;
    });
    if (primary == raw.end()) primary = std::find_if(raw.begin(), raw.end(), [](const XRRMonitorInfo& m) { return m.primary; });

    std::vector<MonitorInfo> monitors;
    for (auto it = raw.begin(); it != raw.end(); ++it) {
        MonitorInfo m;
        m.index = static_cast<uint32_t>(monitors.size());
        std::unique_ptr<char, XFreeDeleter> name(XGetAtomName(d, it->name));
        m.name = name ? name.get() : fmt::format("monitor{}", m.index);
        m.x = it->x;
        m.y = it->y;
        m.width = static_cast<uint32_t>(std::max(it->width, 0));
        m.height = static_cast<uint32_t>(std::max(it->height, 0));
        m.primary = it == primary;
        monitors.push_back(std::move(m));
    }
    return monitors;
}

// One display connection of our own. When the server goes away, Xlib keeps
// the connection locked for the thread that ran into the failure, and only
// that thread can still close it: so whoever makes calls closes a broken
// connection before leaving (closeIfBroken), and nobody calls in afterwards.
class Connection {
public:
    Connection() : dpy_(platform::openDisplayConnection(&broken_)) {}
    // The display, or null once the connection broke.
    Display* get() const { return broken_ ? nullptr : dpy_.get(); }
    void closeIfBroken() {
        if (broken_) dpy_.reset();
    }

private:
    std::atomic<bool> broken_{false}; // outlives the connection that may set it
    DisplayPtr dpy_;
};

class X11ForegroundWatch final : public WindowSystem::Watch {
public:
    explicit X11ForegroundWatch(std::function<void(WindowId)> onChange) : onChange_(std::move(onChange)) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw HrError("pipe2(fds, O_CLOEXEC | O_NONBLOCK)", -errno);
        wake_[0].reset(fds[0]);
        wake_[1].reset(fds[1]);
        if (Display* d = conn_.get()) {
            atoms_ = std::make_unique<Atoms>(d);
            XSelectInput(d, DefaultRootWindow(d), PropertyChangeMask);
            // Read after selecting, so that no change falls between the two.
            last_ = activeWindow(d, *atoms_);
        }
        conn_.closeIfBroken();
        if (conn_.get()) thread_ = std::thread([this] { run(); });
    }

    ~X11ForegroundWatch() override {
        if (!thread_.joinable()) return;
        stop_ = true; // also ends a stream of events without a pause
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_[1].get(), &byte, 1);
        thread_.join();
    }

private:
    void run() {
        nameThisThread("krel-fg-watch");
        // Events are taken in batches and a batch with changes is answered
        // with one look at the property: a burst of changes costs one read.
        constexpr int kBatch = 256;
        while (Display* d = conn_.get()) {
            bool activeChanged = false;
            int taken = 0;
            while (!stop_ && taken < kBatch && conn_.get() && XPending(d) > 0) {
                XEvent event{};
                XNextEvent(d, &event);
                ++taken;
                if (event.type == PropertyNotify && event.xproperty.atom == atoms_->activeWindow) activeChanged = true;
            }
            if (stop_ || !conn_.get()) break;
            if (activeChanged) changed(d);
            // The reads may have queued further events, which poll would not
            // see: look at the queue again first.
            if (activeChanged || taken == kBatch) continue;
            pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wake_[0].get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
            if (fds[1].revents) break;
            // A hang-up of the server shows in XPending as a broken connection.
        }
        conn_.closeIfBroken();
    }

    // The property is read when its event comes in, so quick changes in a
    // row arrive as one: the newest foreground window.
    void changed(Display* d) {
        std::optional<WindowId> active;
        unsigned long pid = 0;
        {
            ErrorTrap trap(d); // the new active window may already be gone
            active = activeWindow(d, *atoms_);
            if (active) {
                const auto pids = readProperty32(d, static_cast<Window>(*active), atoms_->netWmPid, XA_CARDINAL);
                if (!pids.items.empty()) pid = pids.items[0];
            }
        }
        // Window managers rewrite the property with the same value; report
        // only real changes, and never a change to no window at all.
        if (active == last_) return;
        last_ = active;
        if (!active || pid == static_cast<unsigned long>(::getpid())) return;
        try {
            onChange_(*active);
        } catch (const std::exception& e) {
            logLine(fmt::format("Vordergrundwechsel: {}", e.what()));
        } catch (...) {
            logLine("Vordergrundwechsel: unbekannter Fehler");
        }
    }

    std::function<void(WindowId)> onChange_;
    Connection conn_;
    std::unique_ptr<Atoms> atoms_;
    Fd wake_[2];
    std::atomic<bool> stop_{false};
    std::optional<WindowId> last_;
    std::thread thread_;
};

class X11WindowSystem final : public WindowSystem {
public:
    X11WindowSystem() : atoms_(conn_.get()) { conn_.closeIfBroken(); }

    std::vector<MonitorInfo> monitors() override {
        Session s(*this);
        if (!s.d) return {};
        return queryMonitors(s.d);
    }

    MonitorInfo primaryMonitor() override {
        const auto all = monitors();
        if (all.empty()) return {};
        const auto primary = std::find_if(all.begin(), all.end(), [](const MonitorInfo& m) { return m.primary; });
        return primary != all.end() ? *primary : all.front();
    }

    MonitorInfo monitorNearest(const ScreenRect& rect) override {
        const auto all = monitors();
        if (all.empty()) return {};
        // Most overlap first; without any overlap, the shortest distance.
        const MonitorInfo* best = nullptr;
        int64_t bestOverlap = 0;
        for (const auto& m : all) {
            const int64_t w = std::min<int64_t>(rect.right, m.x + int64_t{m.width}) - std::max<int64_t>(rect.left, m.x);
            const int64_t h = std::min<int64_t>(rect.bottom, m.y + int64_t{m.height}) - std::max<int64_t>(rect.top, m.y);
            if (w > 0 && h > 0 && w * h > bestOverlap) {
                bestOverlap = w * h;
                best = &m;
            }
        }
        if (best) return *best;
        int64_t bestDistance = std::numeric_limits<int64_t>::max();
        for (const auto& m : all) {
            const int64_t dx = std::max<int64_t>({0, m.x - int64_t{rect.right}, int64_t{rect.left} - (m.x + int64_t{m.width})});
            const int64_t dy = std::max<int64_t>({0, m.y - int64_t{rect.bottom}, int64_t{rect.top} - (m.y + int64_t{m.height})});
            if (dx * dx + dy * dy < bestDistance) {
                bestDistance = dx * dx + dy * dy;
                best = &m;
            }
        }
        return *best;
    }

    std::optional<WindowId> foregroundWindow() override {
        Session s(*this);
        if (!s.d) return std::nullopt;
        ErrorTrap trap(s.d);
        return activeWindow(s.d, atoms_);
    }

    std::vector<WindowId> topLevelWindows() override {
        Session s(*this);
        if (!s.d) return {};
        Display* d = s.d;
        const Window root = DefaultRootWindow(d);
        ErrorTrap trap(d);
        std::vector<WindowId> windows;
        // Both lists run from the bottom of the stack to the top.
        const auto stacking = readProperty32(d, root, atoms_.clientListStacking, XA_WINDOW);
        if (stacking.present) {
            for (auto it = stacking.items.rbegin(); it != stacking.items.rend(); ++it) windows.push_back(*it);
            return windows;
        }
        const auto node = queryTree(d, root);
        if (!node) return windows;
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
            const Window client = clientOf(d, *it, atoms_.wmState);
            windows.push_back(client ? client : *it);
        }
        return windows;
    }

    WindowState describe(WindowId window) override {
        Session s(*this);
        if (!s.d) return {};
        Display* d = s.d;
        const auto w = static_cast<Window>(window);
        ErrorTrap trap(d);
        WindowState state;
        XWindowAttributes attrs{};
        if (!XGetWindowAttributes(d, w, &attrs) || trap.error()) return {};
        state.visible = attrs.map_state == IsViewable;
        state.clientWidth = static_cast<uint32_t>(std::max(attrs.width, 0));
        state.clientHeight = static_cast<uint32_t>(std::max(attrs.height, 0));

        const auto wmState = readProperty32(d, w, atoms_.wmState, atoms_.wmState);
        const auto netState = readProperty32(d, w, atoms_.netWmState, XA_ATOM);
        state.minimized = (!wmState.items.empty() && wmState.items[0] == IconicState) ||
                          std::find(netState.items.begin(), netState.items.end(), atoms_.netWmStateHidden) !=
                              netState.items.end();

        const Window frame = frameOf(d, w);
        XWindowAttributes frameAttrs{};
        Window child = None;
        int x = 0, y = 0;
        if (!frame || !XGetWindowAttributes(d, frame, &frameAttrs) ||
            !XTranslateCoordinates(d, frame, DefaultRootWindow(d), 0, 0, &x, &y, &child) || trap.error())
            return {};
        // The translated origin lies inside the border; the outer rectangle
        // includes it.
        const int border = frameAttrs.border_width;
        state.outer = {x - border, y - border, x + frameAttrs.width + border, y + frameAttrs.height + border};

        std::optional<std::string> title = readText(d, w, atoms_.netWmName, atoms_);
        if (!title) title = readText(d, w, XA_WM_NAME, atoms_);
        if (title) state.title = utf8PrefixChars(*title, 255);
        const auto pid = readProperty32(d, w, atoms_.netWmPid, XA_CARDINAL);
        if (!pid.items.empty()) state.process = processFileName(pid.items[0]);
        // WM_CLASS: the instance name, a zero, the class name, a zero.
        if (const auto wmClass = readProperty8(d, w, XA_WM_CLASS); wmClass && wmClass->type == XA_STRING) {
            const std::string_view both = wmClass->bytes;
            const size_t split = std::min(both.find('\0'), both.size());
            state.instanceName = latin1ToUtf8(both.substr(0, split));
            if (split < both.size()) {
                const std::string_view rest = both.substr(split + 1);
                state.className = latin1ToUtf8(rest.substr(0, std::min(rest.find('\0'), rest.size())));
            }
        }
        const auto types = readProperty32(d, w, atoms_.netWmWindowType, XA_ATOM);
        state.desktopOrDock = std::any_of(types.items.begin(), types.items.end(), [&](unsigned long type) {
            return type == atoms_.typeDesktop || type == atoms_.typeDock;
        });
        if (trap.error()) return {};
        state.exists = true;
        return state;
    }

    std::unique_ptr<Watch> watchForeground(std::function<void(WindowId)> onChange) override {
        return std::make_unique<X11ForegroundWatch>(std::move(onChange));
    }

private:
    // One caller's turn on the connection: under the lock, and closing it on
    // the way out if it broke meanwhile.
    struct Session {
        explicit Session(X11WindowSystem& ws) : lock(ws.lock_), conn(ws.conn_), d(conn.get()) {}
        ~Session() { conn.closeIfBroken(); }
        std::lock_guard<std::mutex> lock;
        Connection& conn;
        Display* d;
    };

    std::mutex lock_;
    Connection conn_;
    Atoms atoms_;
};

} // namespace

std::unique_ptr<WindowSystem> createWindowSystem() { return std::make_unique<X11WindowSystem>(); }

} // namespace krel
