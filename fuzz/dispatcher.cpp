// Fuzz target: any byte string as a request from the overlay page to the
// dispatcher. Whatever the request says, nothing outside the clip folder may
// change: the files beside it stay as they were, and no new entry appears
// there. Needs a display (run inside scripts/services.sh); without one it
// only parses.
//
// "chooseFolder" is left out: it opens a modal dialog that waits for a user.

#include "config/settings.h"
#include "ui/dispatcher/dispatcher.h"
#include "ui/main_loop.h"
#include "ui/main_window.h"

#include <glib.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

void check(bool ok) {
    if (!ok) std::abort();
}

struct Stamp {
    uintmax_t size;
    fs::file_time_type time;
    bool operator==(const Stamp&) const = default;
};

struct World {
    fs::path root, clips;
    krel::Settings settings;
    std::unique_ptr<krel::MainWindow> window;
    std::set<std::string> rootEntries;
    Stamp outside{}, keep{};
    bool desktop = false;

    World() {
        root = fs::temp_directory_path() / ("krel-fuzz-dispatch-" + std::to_string(::getpid()));
        clips = root / "clips";
        fs::remove_all(root);
        fs::create_directories(clips);
        const fs::path home = root / "home";
        fs::create_directories(home / ".local/share/applications");
        fs::create_directories(home / ".config");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        setenv("KREL_PLAY_API_URL", "http://127.0.0.1:9", 1);
        setenv("KREL_PLAY_UPDATE_URL", "http://127.0.0.1:9/", 1);
        setenv("KREL_PLAY_PORTABLE", "1", 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        // Whatever the desktop is asked to open goes to a handler that does
        // nothing.
        std::ofstream(home / ".local/share/applications/krel-fuzz-nothing.desktop")
            << "[Desktop Entry]\nType=Application\nName=Nothing\nExec=/bin/true %u\n"
               "MimeType=x-scheme-handler/http;x-scheme-handler/https;inode/directory;text/plain;video/mp4;\n";
        std::ofstream(home / ".config/mimeapps.list")
            << "[Default Applications]\nx-scheme-handler/http=krel-fuzz-nothing.desktop\n"
               "x-scheme-handler/https=krel-fuzz-nothing.desktop\ninode/directory=krel-fuzz-nothing.desktop\n"
               "text/plain=krel-fuzz-nothing.desktop\nvideo/mp4=krel-fuzz-nothing.desktop\n";
        // Bait beside and inside the clip folder.
        std::ofstream(root / "outside.mp4") << "not a clip of this folder";
        std::ofstream(root / "keep.txt") << "keep";
        for (const char* name : {"Doom 2026-01-01 10-00-00.mp4", "a.mp4", "b.MP4"})
            std::ofstream(clips / name) << "clip";
        fs::create_symlink(root / "outside.mp4", clips / "link.mp4");
        fs::create_symlink(root, clips / "up");
        for (const auto& e : fs::directory_iterator(root)) rootEntries.insert(e.path().filename().string());
        outside = stamp(root / "outside.mp4");
        keep = stamp(root / "keep.txt");

        desktop = krel::initMainLoop();
        settings.clipDir = clips.string();
        settings.autoUpdate = false;
        if (desktop) open();
    }

    void open() {
        window = std::make_unique<krel::MainWindow>(settings, nullptr);
        window->createOverlayAndTray(krel::handle);
    }

    static Stamp stamp(const fs::path& p) { return {fs::file_size(p), fs::last_write_time(p)}; }

    void verify() {
        std::set<std::string> now;
        for (const auto& e : fs::directory_iterator(root)) now.insert(e.path().filename().string());
        check(now == rootEntries);
        check(stamp(root / "outside.mp4") == outside);
        check(stamp(root / "keep.txt") == keep);
    }
};

World& world() {
    static World w;
    return w;
}

} // namespace

// The desktop libraries keep one-time allocations (type systems, bus
// connections, font caches) to the end of the process; leaks of our own code
// are still reported.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libglib-2.0.so\nleak:libgio-2.0.so\nleak:libgobject-2.0.so\n"
           "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\n"
           "leak:libX11.so\nleak:libpulse\nleak:libgvfs\nleak:libatk\n";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = world();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const nlohmann::json request = nlohmann::json::parse(text, nullptr, false);
    if (request.is_object() && request.value("cmd", nlohmann::json()).is_string() &&
        request["cmd"].get<std::string>() == "chooseFolder")
        return 0;
    if (!w.desktop) return 0;

    const std::string reply = krel::handle(text);
    // A reply is one JSON object with the request's id.
    if (!reply.empty()) {
        const nlohmann::json r = nlohmann::json::parse(reply, nullptr, false);
        check(r.is_object() && r.contains("id") && r.contains("result"));
    }
    // Let posted work run (toasts, page messages, the end after "uninstall").
    for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
    // The page may move the clip folder; the next request starts from ours.
    w.settings.clipDir = w.clips.string();
    if (w.window->destroyed()) w.open();
    w.verify();
    return 0;
}
