// Global hotkeys on X11: passive key grabs on the root window through a
// connection of the grabber's own, read on the main thread by a GLib source
// attached to the default main context. Bindings keep their Windows
// virtual-key codes; the table below turns them into key symbols.

#include "ui/hotkeys.h"

#include "config/log.h"
#include "media/linux/x11_support.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>
#include <glib.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <vector>

namespace krel {

namespace {

using platform::DisplayPtr;
using platform::ErrorTrap;

struct KeyEntry {
    uint32_t vk;
    KeySym keysym; // NoSymbol: named, but not grabbed here
    const char* name;
};

// Keys other than digits, letters, F-keys and the keypad digits. The
// punctuation keys are grabbed by their US-layout symbol and named by the
// label of the German key with the same virtual-key code.
constexpr KeyEntry kKeys[] = {
    {8, XK_BackSpace, "Rücktaste"},     {9, XK_Tab, "Tab"},
    {13, XK_Return, "Eingabe"},         {19, XK_Pause, "Pause"},
    {20, NoSymbol, "Feststell"},        {27, XK_Escape, "Esc"},
    {32, XK_space, "Leertaste"},        {33, XK_Prior, "Bild auf"},
    {34, XK_Next, "Bild ab"},           {35, XK_End, "Ende"},
    {36, XK_Home, "Pos1"},              {37, XK_Left, "Pfeil links"},
    {38, XK_Up, "Pfeil auf"},           {39, XK_Right, "Pfeil rechts"},
    {40, XK_Down, "Pfeil ab"},          {44, XK_Print, "Druck"},
    {45, XK_Insert, "Einfg"},           {46, XK_Delete, "Entf"},
    {106, XK_KP_Multiply, "Num *"},     {107, XK_KP_Add, "Num +"},
    {108, XK_KP_Separator, ""},         {109, XK_KP_Subtract, "Num -"},
    {110, XK_KP_Decimal, "Num ,"},      {111, XK_KP_Divide, "Num /"},
    {144, NoSymbol, "Num"},             {145, XK_Scroll_Lock, "Rollen"},
    {186, XK_semicolon, "Ü"},           {187, XK_equal, "+"},
    {188, XK_comma, ","},               {189, XK_minus, "-"},
    {190, XK_period, "."},              {191, XK_slash, "#"},
    {192, XK_grave, "Ö"},               {219, XK_bracketleft, "ß"},
    {220, XK_backslash, "^"},           {221, XK_bracketright, "´"},
    {222, XK_apostrophe, "Ä"},          {226, XK_less, "<"},
};

const KeyEntry* findKey(uint32_t vk) {
    for (const KeyEntry& k : kKeys)
        if (k.vk == vk) return &k;
    return nullptr;
}

KeySym keysymForVk(uint32_t vk) {
    if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
    if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
    if (vk >= 96 && vk <= 105) return XK_KP_0 + (vk - 96);
    if (vk >= 112 && vk <= 135) return XK_F1 + (vk - 112);
    const KeyEntry* k = findKey(vk);
    return k ? k->keysym : NoSymbol;
}

constexpr unsigned kBindingMask = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

unsigned toX11Modifiers(uint32_t mods) {
    return ((mods & 1) ? Mod1Mask : 0u) | ((mods & 2) ? ControlMask : 0u) |
           ((mods & 4) ? ShiftMask : 0u) | ((mods & 8) ? Mod4Mask : 0u);
}

struct ModifierMapFree {
    void operator()(XModifierKeymap* m) const { XFreeModifiermap(m); }
};

// The modifier bit that Num Lock sets on this server (usually Mod2), or 0.
unsigned numLockMask(Display* d) {
    const KeyCode numLock = XKeysymToKeycode(d, XK_Num_Lock);
    std::unique_ptr<XModifierKeymap, ModifierMapFree> map(XGetModifierMapping(d));
    if (!map || numLock == 0) return 0;
    for (int mod = 0; mod < 8; ++mod)
        for (int k = 0; k < map->max_keypermod; ++k)
            if (map->modifiermap[mod * map->max_keypermod + k] == numLock) return 1u << mod;
    return 0;
}

class X11HotkeyGrabber;

// The GLib source of the connection; GLib allocates it with room for ours.
struct HotkeySource {
    GSource base;
    X11HotkeyGrabber* owner;
    gpointer fdTag;
};

struct SourceDestroy {
    void operator()(GSource* s) const {
        g_source_destroy(s);
        g_source_unref(s);
    }
};
using SourcePtr = std::unique_ptr<GSource, SourceDestroy>;

class X11HotkeyGrabber final : public HotkeyGrabber {
public:
    explicit X11HotkeyGrabber(std::function<void(int)> onHotkey);
    bool grab(int id, const Hotkey& key) override;
    void releaseAll() override;

    // Events already read into Xlib's queue, or a broken connection, need a
    // dispatch even when the socket stays quiet.
    bool pending() const { return display_ && (broken_ || XQLength(display_.get()) > 0); }
    gboolean dispatch(unsigned revents);

private:
    struct Grab {
        KeyCode keycode = 0; // 0: no grab
        unsigned mods = 0;
        unsigned numLock = 0;
        bool down = false; // pressed and not yet released: repeats do not fire
    };
    void ungrab(const Grab& g);
    void handleKey(const XKeyEvent& e, std::vector<int>& fired);

    std::function<void(int)> onHotkey_;
    std::atomic<bool> broken_{false};
    DisplayPtr display_;
    std::array<Grab, kHotkeyCount> grabs_{};
    SourcePtr source_;
};

gboolean prepareSource(GSource* s, gint* timeout) {
    *timeout = -1;
    return reinterpret_cast<HotkeySource*>(s)->owner->pending();
}

gboolean checkSource(GSource* s) {
    auto* hs = reinterpret_cast<HotkeySource*>(s);
    return g_source_query_unix_fd(s, hs->fdTag) != 0 || hs->owner->pending();
}

gboolean dispatchSource(GSource* s, GSourceFunc, gpointer) {
    auto* hs = reinterpret_cast<HotkeySource*>(s);
    return hs->owner->dispatch(g_source_query_unix_fd(s, hs->fdTag));
}

GSourceFuncs gSourceFuncs = {prepareSource, checkSource, dispatchSource, nullptr, nullptr, nullptr};

X11HotkeyGrabber::X11HotkeyGrabber(std::function<void(int)> onHotkey)
    : onHotkey_(std::move(onHotkey)), display_(platform::openDisplayConnection(&broken_)) {
    Display* d = display_.get();
    // A held key then sends presses only, no release between them.
    Bool supported = False;
    XkbSetDetectableAutoRepeat(d, True, &supported);
    source_.reset(g_source_new(&gSourceFuncs, sizeof(HotkeySource)));
    auto* hs = reinterpret_cast<HotkeySource*>(source_.get());
    hs->owner = this;
    hs->fdTag = g_source_add_unix_fd(source_.get(), ConnectionNumber(d),
                                     static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_attach(source_.get(), nullptr);
}

bool X11HotkeyGrabber::grab(int id, const Hotkey& key) {
    if (id < 1 || id > kHotkeyCount || !display_ || broken_) return false;
    Grab& slot = grabs_[static_cast<size_t>(id - 1)];
    ungrab(slot);
    slot = {};
    Display* d = display_.get();
    const KeySym sym = keysymForVk(key.vk);
    const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(d, sym);
    if (code == 0) return false;
    const Grab wanted{code, toX11Modifiers(key.mods), numLockMask(d)};
    // One id per combination, as the server would merge a second grab of ours.
    for (const Grab& g : grabs_)
        if (g.keycode == wanted.keycode && g.mods == wanted.mods) return false;

    ErrorTrap trap(d);
    for (unsigned lock : {0u, unsigned(LockMask), wanted.numLock, LockMask | wanted.numLock})
        XGrabKey(d, code, wanted.mods | lock, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync);
    XSync(d, False);
    if (trap.error() || broken_) { // BadAccess: another client holds the combination
        ungrab(wanted);
        XSync(d, False);
        return false;
    }
    slot = wanted;
    return true;
}

void X11HotkeyGrabber::ungrab(const Grab& g) {
    if (g.keycode == 0 || !display_ || broken_) return;
    Display* d = display_.get();
    for (unsigned lock : {0u, unsigned(LockMask), g.numLock, LockMask | g.numLock})
        XUngrabKey(d, g.keycode, g.mods | lock, DefaultRootWindow(d));
}

void X11HotkeyGrabber::releaseAll() {
    for (Grab& g : grabs_) {
        ungrab(g);
        g = {};
    }
    if (display_ && !broken_) XFlush(display_.get());
}

void X11HotkeyGrabber::handleKey(const XKeyEvent& e, std::vector<int>& fired) {
    const unsigned mods = e.state & kBindingMask;
    for (size_t i = 0; i < grabs_.size(); ++i) {
        Grab& g = grabs_[i];
        if (g.keycode != e.keycode) continue;
        if (e.type == KeyRelease) { // whatever modifiers are still held
            g.down = false;
        } else if (g.mods == mods && !g.down) {
            g.down = true;
            fired.push_back(static_cast<int>(i) + 1);
        }
    }
}

gboolean X11HotkeyGrabber::dispatch(unsigned revents) {
    const bool hangUp = (revents & (G_IO_HUP | G_IO_ERR)) != 0;
    std::vector<int> fired;
    Display* d = display_.get();
    while (d && !hangUp && !broken_ && XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == KeyPress || event.type == KeyRelease) handleKey(event.xkey, fired);
    }
    gboolean keep = G_SOURCE_CONTINUE;
    if (hangUp || broken_) {
        logLine("Globale Hotkeys: Verbindung zum X-Server verloren");
        platform::abandonDisplay(display_.release());
        keep = G_SOURCE_REMOVE;
    }
    // The callback may re-register the hotkeys or even destroy this grabber:
    // from here on nothing of it is touched.
    const std::function<void(int)> onHotkey = onHotkey_;
    for (int id : fired) {
        try {
            onHotkey(id);
        } catch (const std::exception& e) {
            logLine(std::string("Hotkey-Fehler: ") + e.what());
        }
    }
    return keep;
}

// Accepts every binding where the desktop offers no global key grabs.
class AcceptingGrabber final : public HotkeyGrabber {
public:
    AcceptingGrabber() { logLine("Globale Hotkeys brauchen eine X11-Sitzung"); }
    bool grab(int, const Hotkey&) override { return true; }
    void releaseAll() override {}
};

} // namespace

std::string platformKeyName(uint32_t vk) {
    if (vk >= 96 && vk <= 105) return "Num " + std::to_string(vk - 96);
    const KeyEntry* k = findKey(vk);
    return k ? k->name : "";
}

std::unique_ptr<HotkeyGrabber> createHotkeyGrabber(std::function<void(int id)> onHotkey) {
    const char* display = std::getenv("DISPLAY");
    if (display && *display) {
        try {
            return std::make_unique<X11HotkeyGrabber>(std::move(onHotkey));
        } catch (const std::exception&) {
            // no X server to talk to: same as a session without X11
        }
    }
    return std::make_unique<AcceptingGrabber>();
}

} // namespace krel
