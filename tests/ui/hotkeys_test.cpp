#include "ui/hotkeys.h"

#include "temp_dir.h"

// gtest before Xlib, whose macros (None, Bool) clash with gtest's names.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <glib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace krel {
namespace {

struct DisplayClose {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

// A grabber on the test's X server, and a second connection that types
// through XTEST. Reported ids are collected by running the default main
// context, as the program's main loop would.
class X11HotkeysTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KREL_PLAY_DATA_DIR", data_.path().c_str(), 1);
        ASSERT_TRUE(keyboard_) << "no X display";
        grabber_ = createHotkeyGrabber([this](int id) { ids_.push_back(id); });
    }

    KeyCode code(KeySym sym) { return XKeysymToKeycode(keyboard_.get(), sym); }
    void key(KeySym sym, bool down) {
        XTestFakeKeyEvent(keyboard_.get(), code(sym), down ? True : False, CurrentTime);
        XSync(keyboard_.get(), False);
    }
    void tap(KeySym sym) {
        key(sym, true);
        key(sym, false);
    }
    // Runs the main context until `count` ids have arrived (bounded so that a
    // missing event fails instead of hanging).
    bool waitForIds(size_t count) {
        bool expired = false;
        const guint timer = g_timeout_add_seconds(20, [](gpointer flag) {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        }, &expired);
        while (ids_.size() < count && !expired) g_main_context_iteration(nullptr, TRUE);
        if (!expired) g_source_remove(timer);
        return ids_.size() >= count;
    }

    test::TempDir data_;
    DisplayPtr keyboard_{XOpenDisplay(nullptr)};
    std::vector<int> ids_;
    std::unique_ptr<HotkeyGrabber> grabber_;
};

TEST_F(X11HotkeysTest, DefaultBindingsFireOncePerPressWhateverTheLockKeys) {
    EXPECT_TRUE(registerHotkeys(*grabber_, Settings{}).empty());

    tap(XK_F8);
    ASSERT_TRUE(waitForIds(1));
    key(XK_Alt_L, true);
    tap(XK_z);
    key(XK_Alt_L, false);
    ASSERT_TRUE(waitForIds(2));

    // A held key: the server repeats its press (after a shortened delay)
    // until the release; F10 after it shows that every repeat has been read.
    XkbSetAutoRepeatRate(keyboard_.get(), XkbUseCoreKbd, 20, 10);
    key(XK_F9, true);
    g_usleep(300'000);
    key(XK_F9, false);
    tap(XK_F10);
    ASSERT_TRUE(waitForIds(4));

    tap(XK_Caps_Lock);
    tap(XK_Num_Lock);
    tap(XK_F7);
    tap(XK_Caps_Lock);
    tap(XK_Num_Lock);
    ASSERT_TRUE(waitForIds(5));
    EXPECT_EQ(ids_, (std::vector<int>{1, 6, 2, 3, 4}));
}

TEST_F(X11HotkeysTest, KeyHeldByAnotherClientIsAConflictAndTheOthersStillWork) {
    DisplayPtr other(XOpenDisplay(nullptr));
    const Window root = DefaultRootWindow(other.get());
    XGrabKey(other.get(), code(XK_F8), 0, root, False, GrabModeAsync, GrabModeAsync);
    XSync(other.get(), False);

    Settings settings;
    settings.hkMic = {0, 255}; // no key on this desktop
    settings.hkPause = {0, 0}; // unbound: never grabbed, never a conflict
    EXPECT_EQ(registerHotkeys(*grabber_, settings), (std::vector<std::string>{"F8", "Taste 255"}));
    tap(XK_F8); // goes to the other client
    tap(XK_F9);
    ASSERT_TRUE(waitForIds(1));
    EXPECT_EQ(ids_, std::vector<int>{2});

    // Once the other client lets go, registering again takes F8 too.
    XUngrabKey(other.get(), code(XK_F8), 0, root);
    XSync(other.get(), False);
    EXPECT_TRUE(registerHotkeys(*grabber_, Settings{}).empty());
    tap(XK_F8);
    ASSERT_TRUE(waitForIds(2));
    EXPECT_EQ(ids_, (std::vector<int>{2, 1}));
}

TEST(HotkeyGrabber, WithoutX11AcceptsEveryBindingAndSaysWhy) {
    test::TempDir data;
    setenv("KREL_PLAY_DATA_DIR", data.path().c_str(), 1);
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    unsetenv("DISPLAY");
    auto grabber = createHotkeyGrabber([](int) {});
    if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);

    Settings settings;
    settings.hkClip = {0, 255};
    EXPECT_TRUE(registerHotkeys(*grabber, settings).empty());
    std::ifstream log(data / "krel-play.log");
    const std::string text{std::istreambuf_iterator<char>(log), {}};
    EXPECT_NE(text.find("Globale Hotkeys brauchen eine X11-Sitzung"), std::string::npos);
}

TEST(HotkeyName, ModifiersKeysAndFallbacks) {
    EXPECT_EQ(hotkeyName({0, 0}), "\u2013");
    EXPECT_EQ(hotkeyName({2, 0}), "\u2013");
    EXPECT_EQ(hotkeyName({1, 90}), "Alt+Z");
    EXPECT_EQ(hotkeyName({2 | 4, 119}), "Strg+Umschalt+F8");
    EXPECT_EQ(hotkeyName({15, 55}), "Strg+Umschalt+Alt+Win+7");
    EXPECT_EQ(hotkeyName({0, 124}), "F13");
    EXPECT_EQ(hotkeyName({0, 135}), "F24");
    EXPECT_EQ(hotkeyName({0, 255}), "Taste 255");
    EXPECT_EQ(hotkeyName({0, 32}), "Leertaste");
    EXPECT_EQ(hotkeyName({0, 96}), "Num 0");
    EXPECT_EQ(hotkeyName({2, 46}), "Strg+Entf");
    EXPECT_EQ(hotkeyName({0, 187}), "+");
}

} // namespace
} // namespace krel
