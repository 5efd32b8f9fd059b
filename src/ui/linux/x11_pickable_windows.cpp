// The windows a user can pick for window capture, as the desktop's window
// list shows them: the window manager's client list (or, without one, the
// root's children), keeping viewable application windows with a title.

#include "ui/desktop_shell.h"

#include "config/log.h"
#include "media/linux/x11_support.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace krel {
namespace {

using platform::ErrorTrap;

template <typename T>
using XPtr = std::unique_ptr<T, platform::XFreeDeleter>;

// Reads a property of format 32 (returned by Xlib as longs).
std::vector<unsigned long> longs(Display* d, Window w, Atom property, Atom type) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(d, w, property, 0, 4096, False, type, &actualType, &format, &count, &after, &raw) !=
        Success)
        return {};
    XPtr<unsigned char> data(raw);
    if (!raw || format != 32 || actualType != type) return {};
    const auto* values = reinterpret_cast<const unsigned long*>(raw);
    return {values, values + count};
}

std::string title(Display* d, Window w) {
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* raw = nullptr;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), 0, 1024, False, utf8, &actualType, &format,
                           &count, &after, &raw) == Success) {
        XPtr<unsigned char> data(raw);
        if (raw && format == 8 && actualType == utf8) return {reinterpret_cast<char*>(raw), count};
    }
    // WM_NAME is Latin-1.
    std::string out;
    raw = nullptr;
    if (XGetWindowProperty(d, w, XA_WM_NAME, 0, 1024, False, XA_STRING, &actualType, &format, &count, &after,
                           &raw) == Success) {
        XPtr<unsigned char> data(raw);
        if (raw && format == 8)
            for (unsigned long i = 0; i < count; ++i) {
                const unsigned char c = raw[i];
                if (c < 0x80) out += static_cast<char>(c);
                else {
                    out += static_cast<char>(0xC0 | (c >> 6));
                    out += static_cast<char>(0x80 | (c & 0x3F));
                }
            }
    }
    return out;
}

bool pickable(Display* d, Window w) {
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(d, w, &attrs) || attrs.map_state != IsViewable || attrs.override_redirect ||
        attrs.c_class != InputOutput)
        return false;
    Window owner = None;
    if (XGetTransientForHint(d, w, &owner) && owner != None) return false;
    static constexpr std::array kNotApps{"_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_TOOLBAR",
                                         "_NET_WM_WINDOW_TYPE_MENU",    "_NET_WM_WINDOW_TYPE_DOCK",
                                         "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_SPLASH",
                                         "_NET_WM_WINDOW_TYPE_NOTIFICATION"};
    for (unsigned long type : longs(d, w, XInternAtom(d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM))
        for (const char* name : kNotApps)
            if (type == XInternAtom(d, name, False)) return false;
    return true;
}

} // namespace

std::vector<std::string> pickableWindowTitles() {
    std::vector<std::string> titles;
    try {
        auto dpy = platform::openDisplayConnection(nullptr);
        Display* d = dpy.get();
        ErrorTrap trap(d); // windows may vanish while we look
        const Window root = DefaultRootWindow(d);
        std::vector<unsigned long> clients = longs(d, root, XInternAtom(d, "_NET_CLIENT_LIST", False), XA_WINDOW);
        if (clients.empty()) {
            Window r = 0, parent = 0, *children = nullptr;
            unsigned count = 0;
            if (XQueryTree(d, root, &r, &parent, &children, &count) && children) {
                clients.assign(children, children + count);
                XFree(children);
            }
        }
        for (unsigned long w : clients) {
            if (!pickable(d, w)) continue;
            std::string t = title(d, w);
            if (t.size() > 1024) t.resize(1024);
            if (!t.empty() && t != "KREL Play") titles.push_back(std::move(t));
        }
        XSync(d, False);
    } catch (const std::exception& e) {
        logLine(fmt::format("Fensterliste: {}", e.what()));
    }
    return titles;
}

} // namespace krel
