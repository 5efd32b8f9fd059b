// The desktop program end to end, as a user meets it: started on a display
// with a sound server and a session bus, driven by global keys and the tray
// menu, ended by signals. Files, log lines, toasts on screen and the tray
// as a panel reads it are checked.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// Xlib's macros after GoogleTest's headers, which use the same names.
#include "desktop_program.h"
#include "sni_watcher.h"
#include "temp_dir.h"
#include "test_media.h"

#include <X11/keysym.h>

#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using krel::test::DesktopProgram;
using krel::test::count;
using krel::test::readText;
using krel::test::TestDisplay;
using krel::test::waitFor;

// A small monitor capture that starts quickly and keeps the machine free.
void writeSettings(const fs::path& data, const std::string& extra = "") {
    std::ofstream(data / "settings.json")
        << R"({"mode":"monitor","scale":"fit","outWidth":320,"outHeight":180,"fps":30,"replaySeconds":5,)"
        << R"("micEnabled":false,"autoUpdate":false)" << extra << "}";
}

std::vector<fs::path> mp4Files(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().extension() == ".mp4") files.push_back(e.path());
    return files;
}

bool toastShows(TestDisplay& display, const std::string& text) {
    auto t = display.toast();
    return t && t->text == text;
}

TEST(Desktop, HotkeysToastsHandOverAndOrderlyEnd) {
    krel::test::TempDir data;
    writeSettings(data.path());
    TestDisplay display;
    DesktopProgram program(KREL_PLAY_EXECUTABLE, data.path(), {});
    const fs::path log = data / "krel-play.log";

    ASSERT_TRUE(waitFor([&] { return toastShows(display, "KREL Play läuft – Alt+Z öffnet das Overlay"); }))
        << readText(log);
    std::this_thread::sleep_for(2500ms); // some replay to save

    // F8: the clip is written, and the pill says so with the light marker.
    display.tapKey(XK_F8);
    ASSERT_TRUE(waitFor([&] { return mp4Files(data / "Clips").size() == 1; })) << readText(log);
    ASSERT_TRUE(waitFor([&] { return toastShows(display, "Clip gespeichert · 5 s"); })) << readText(log);
    const auto toast = *display.toast();
    EXPECT_EQ(toast.y, 20);
    EXPECT_EQ(toast.x + toast.width, DisplayWidth(display.get(), 0) - 20);
    EXPECT_EQ(display.pixel(toast.x + 21, toast.y + toast.height / 2), 0xD6D6D6u);

    // A second start hands over: the first opens its overlay, the second
    // ends at once without starting.
    DesktopProgram second(KREL_PLAY_EXECUTABLE, data.path(), {});
    EXPECT_EQ(second.wait(), 0);
    EXPECT_TRUE(waitFor([&] { return readText(log).find("Overlay: wird geöffnet") != std::string::npos; }));
    EXPECT_EQ(count(readText(log), "KREL Play 0.1.7 startet"), 1u);
    // Alt+Z closes it again (it would cover the notices below).
    ASSERT_TRUE(waitFor([&] { return readText(log).find("Overlay: sichtbar") != std::string::npos; }))
        << readText(log);
    display.tapKey(XK_z, true);
    ASSERT_TRUE(waitFor([&] { return readText(log).find("Overlay: geschlossen") != std::string::npos; }))
        << readText(log);

    // F9 starts a recording (red marker); SIGTERM ends the program and
    // finishes the file.
    display.tapKey(XK_F9);
    ASSERT_TRUE(waitFor([&] { return toastShows(display, "Aufnahme gestartet"); })) << readText(log);
    const auto rec = *display.toast();
    EXPECT_EQ(display.pixel(rec.x + 21, rec.y + rec.height / 2), 0xC98A8Au);
    std::this_thread::sleep_for(2s);
    program.signal(SIGTERM);
    EXPECT_EQ(program.wait(), 0);

    const auto files = mp4Files(data / "Clips");
    ASSERT_EQ(files.size(), 2u) << readText(log);
    for (const auto& f : files) {
        const auto rb = krel::test::readBack(f);
        ASSERT_NE(rb.video(), nullptr) << f;
        EXPECT_TRUE(rb.video()->firstIsKey) << f;
        EXPECT_GT(rb.video()->decodedFrames, 10) << f;
    }
    EXPECT_NE(readText(log).find("KREL Play beendet"), std::string::npos);
}

TEST(Desktop, TrayStartConflictsUpdatedHandOverAndStaleLock) {
    krel::test::TempDir data;
    writeSettings(data.path(), R"(,"replayEnabled":false)");
    TestDisplay display;
    // Another program holds F8.
    Display* dpy = display.get();
    XGrabKey(dpy, XKeysymToKeycode(dpy, XK_F8), 0, DefaultRootWindow(dpy), True, GrabModeAsync, GrabModeAsync);
    XSync(dpy, False);

    const fs::path log = data / "krel-play.log";
    DesktopProgram first(KREL_PLAY_EXECUTABLE, data.path(), {"--tray"});
    ASSERT_TRUE(waitFor([&] { return toastShows(display, "Hotkey belegt: F8"); })) << readText(log);
    // No greeting follows the warning at an autostart.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(toastShows(display, "Hotkey belegt: F8"));
    EXPECT_EQ(nlohmann::json::parse(readText(data / "settings.json")).value("replayEnabled", false), true);
    EXPECT_NE(readText(log).find("Autostart: Videobeweis eingeschaltet"), std::string::npos);
    XUngrabKey(dpy, XKeysymToKeycode(dpy, XK_F8), 0, DefaultRootWindow(dpy));
    XSync(dpy, False);

    // The copy restarted after an update waits for the old one; the old one
    // crashes, leaving its lock and socket files behind, and the new one
    // takes over and greets with its version.
    DesktopProgram updated(KREL_PLAY_EXECUTABLE, data.path(), {"--updated"});
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(count(readText(log), "KREL Play 0.1.7 startet"), 1u);
    first.signal(SIGKILL);
    EXPECT_EQ(first.wait(), -SIGKILL);
    ASSERT_TRUE(waitFor([&] { return toastShows(display, "KREL Play aktualisiert auf 0.1.7"); })) << readText(log);
    EXPECT_EQ(count(readText(log), "KREL Play 0.1.7 startet"), 2u);
    updated.signal(SIGINT);
    EXPECT_EQ(updated.wait(), 0);
}

TEST(Desktop, TrayMenuAsAPanelSeesIt) {
    krel::test::TempDir data;
    writeSettings(data.path());
    krel::test::SniWatcher watcher;
    DesktopProgram program(KREL_PLAY_EXECUTABLE, data.path(), {"--tray"});
    const fs::path log = data / "krel-play.log";

    ASSERT_TRUE(waitFor([&] { return watcher.hasItem(); })) << readText(log);
    EXPECT_EQ(watcher.itemProperty("Title"), "KREL Play");
    auto entry = [&](const std::string& label) {
        for (const auto& item : watcher.menu())
            if (item.label == label) return item;
        return krel::test::MenuItem{};
    };
    ASSERT_TRUE(waitFor([&] { return entry("Videobeweis aktiv").dbusId != 0; }));
    std::vector<std::string> labels;
    for (const auto& item : watcher.menu())
        if (!item.label.empty()) labels.push_back(item.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"KREL Play öffnen", "Videobeweis aktiv", "Clip speichern",
                                                "Aufnahme starten", "Aufnahme stoppen", "Mikrofon stumm",
                                                "KREL Play beenden"}));
    EXPECT_EQ(entry("Videobeweis aktiv").toggleState, 1);
    EXPECT_TRUE(entry("Clip speichern").enabled);
    EXPECT_FALSE(entry("Aufnahme stoppen").enabled);
    EXPECT_EQ(entry("Mikrofon stumm").toggleState, 0);

    // "Videobeweis aktiv" clicked: replay goes off, in the settings file and
    // in the menu's check mark and greyed entries.
    watcher.click(entry("Videobeweis aktiv").dbusId);
    EXPECT_TRUE(waitFor([&] {
        return nlohmann::json::parse(readText(data / "settings.json")).value("replayEnabled", true) == false;
    }));
    EXPECT_TRUE(waitFor([&] { return entry("Videobeweis aktiv").toggleState == 0; }));
    EXPECT_FALSE(entry("Clip speichern").enabled);

    // "Aufnahme starten" greys itself and enables its partner.
    watcher.click(entry("Aufnahme starten").dbusId);
    EXPECT_TRUE(waitFor([&] { return entry("Aufnahme stoppen").enabled; })) << readText(log);
    EXPECT_FALSE(entry("Aufnahme starten").enabled);
    // The file opens at the next key frame.
    ASSERT_TRUE(waitFor([&] { return mp4Files(data / "Clips").size() == 1; })) << readText(log);
    std::this_thread::sleep_for(1s);

    // The quit entry ends the program in order, the recording finished.
    watcher.click(entry("KREL Play beenden").dbusId);
    EXPECT_EQ(program.wait(), 0);
    ASSERT_EQ(mp4Files(data / "Clips").size(), 1u);
    EXPECT_GT(krel::test::readBack(mp4Files(data / "Clips").front()).video()->decodedFrames, 0);
}

// The X server goes away (the session ends) while a recording runs: the
// program finishes the file and exits 0.
TEST(Desktop, VanishingXServerFinishesTheRecording) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string fd = std::to_string(fds[1]);
    char* argv[] = {const_cast<char*>("Xvfb"), const_cast<char*>("-displayfd"), const_cast<char*>(fd.c_str()),
                    const_cast<char*>("-screen"), const_cast<char*>("0"), const_cast<char*>("640x480x24"),
                    const_cast<char*>("-nolisten"), const_cast<char*>("tcp"), nullptr};
    pid_t xvfb = -1;
    ASSERT_EQ(posix_spawnp(&xvfb, "Xvfb", nullptr, nullptr, argv, environ), 0);
    ::close(fds[1]);
    char number[16] = {};
    ASSERT_GT(::read(fds[0], number, sizeof number - 1), 0);
    ::close(fds[0]);
    const std::string outer = std::getenv("DISPLAY");
    setenv("DISPLAY", (":" + std::string(number, std::strcspn(number, "\n"))).c_str(), 1);

    krel::test::TempDir data;
    writeSettings(data.path());
    const fs::path log = data / "krel-play.log";
    {
        DesktopProgram program(KREL_PLAY_EXECUTABLE, data.path(), {"--tray"});
        ASSERT_TRUE(waitFor([&] { return readText(log).find("Pipeline: ") != std::string::npos; })) << readText(log);
        TestDisplay().tapKey(XK_F9); // closed again before its server goes
        ASSERT_TRUE(waitFor([&] { return mp4Files(data / "Clips").size() == 1; })) << readText(log);
        std::this_thread::sleep_for(1500ms);
        ::kill(xvfb, SIGKILL);
        ::waitpid(xvfb, nullptr, 0);
        EXPECT_EQ(program.wait(), 0) << readText(log);
    }
    setenv("DISPLAY", outer.c_str(), 1);
    EXPECT_NE(readText(log).find("X-Server nicht mehr erreichbar – beende"), std::string::npos);
    const auto files = mp4Files(data / "Clips");
    ASSERT_EQ(files.size(), 1u);
    const auto rb = krel::test::readBack(files.front());
    ASSERT_NE(rb.video(), nullptr);
    EXPECT_GT(rb.video()->decodedFrames, 10);
}

} // namespace
