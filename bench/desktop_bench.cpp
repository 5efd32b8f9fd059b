// The desktop program as a user runs it (run inside scripts/services.sh):
// from a key press to the clip on disk and to the notice on screen with a
// full minute of 1080p60 in the buffer, and what the program costs while it
// only waits.

#include "bench.h"
#include "desktop_program.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <X11/Xutil.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using krel::test::DesktopProgram;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

fs::path freshData(const std::string& settings) {
    const fs::path data = fs::temp_directory_path() / ("krel-bench-desktop-" + std::to_string(::getpid()));
    fs::remove_all(data);
    fs::create_directories(data);
    std::ofstream(data / "settings.json") << settings;
    return data;
}

// Presses `keysym` and returns the press time.
Clock::time_point press(Display* dpy, unsigned long keysym) {
    const KeyCode code = XKeysymToKeycode(dpy, keysym);
    const auto t = Clock::now();
    XTestFakeKeyEvent(dpy, code, True, 0);
    XTestFakeKeyEvent(dpy, code, False, 0);
    XFlush(dpy);
    return t;
}

// Waits for the next override-redirect window to be mapped (the toast).
bool waitForToastMap(Display* dpy, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type == MapNotify && e.xmap.override_redirect) return true;
        }
        std::this_thread::sleep_for(200us);
    }
    return false;
}

// Fills the screen with changing noise at 60 fps from a thread of its own, so
// that the buffer holds what a busy game gives the encoder, not a still
// black desktop.
class NoiseScreen {
public:
    NoiseScreen() : thread_([this] { run(); }) {}
    ~NoiseScreen() {
        stop_ = true;
        thread_.join();
    }

private:
    void run() {
        Display* dpy = XOpenDisplay(nullptr);
        if (!dpy) return;
        const int w = DisplayWidth(dpy, 0), h = DisplayHeight(dpy, 0);
        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        const Window win = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, w, h, 0, CopyFromParent, InputOutput,
                                         CopyFromParent, CWOverrideRedirect, &attrs);
        XMapWindow(dpy, win);
        XLowerWindow(dpy, win); // the program's notices stay above it
        const GC gc = XCreateGC(dpy, win, 0, nullptr);
        std::vector<std::vector<uint32_t>> frames(4, std::vector<uint32_t>(static_cast<size_t>(w) * h));
        uint32_t seed = 12345;
        for (auto& f : frames)
            for (auto& p : f) p = (seed = seed * 1664525u + 1013904223u) >> 8;
        auto next = Clock::now();
        for (size_t i = 0; !stop_; ++i) {
            XImage* img = XCreateImage(dpy, DefaultVisual(dpy, 0), 24, ZPixmap, 0,
                                       reinterpret_cast<char*>(frames[i % frames.size()].data()), w, h, 32, 0);
            XPutImage(dpy, win, gc, img, 0, 0, 0, 0, w, h);
            img->data = nullptr;
            XDestroyImage(img);
            XSync(dpy, False);
            next += std::chrono::microseconds(16667);
            std::this_thread::sleep_until(next);
        }
        XFreeGC(dpy, gc);
        XDestroyWindow(dpy, win);
        XCloseDisplay(dpy);
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool hasClip(const fs::path& folder) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().extension() == ".mp4") return true;
    return false;
}

KREL_BENCH("desktop") {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return;
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);

    // Idle: the default game mode with no game on screen and replay off, so
    // nothing is captured; the whole process's CPU and memory.
    {
        const fs::path data = freshData(R"({"replayEnabled":false,"autoUpdate":false})");
        DesktopProgram program(KREL_PLAY_EXECUTABLE, data, {}); // "--tray" would switch replay on
        std::this_thread::sleep_for(3s);
        const double cpu0 = program.cpuSeconds();
        std::this_thread::sleep_for(10s);
        krel::bench::report("idle_cpu_pct", (program.cpuSeconds() - cpu0) / 10.0 * 100.0, "%");
        krel::bench::report("idle_rss_mb", program.rssMiB(), "MiB");
        program.signal(SIGTERM);
        program.wait();
        fs::remove_all(data);
    }

    // Replay on at the defaults (monitor at 1080p60) over a busy screen: the
    // main thread's share, then the key presses with a full buffer.
    NoiseScreen screen;
    const fs::path data = freshData(R"({"mode":"monitor","autoUpdate":false,"micEnabled":false})");
    DesktopProgram program(KREL_PLAY_EXECUTABLE, data, {"--tray"});
    std::this_thread::sleep_for(3s);
    const double main0 = program.cpuSeconds(true);
    std::this_thread::sleep_for(10s);
    krel::bench::report("idle_main_thread_cpu_pct_replay_on", (program.cpuSeconds(true) - main0) / 10.0 * 100.0,
                        "%");
    std::this_thread::sleep_for(50s); // the buffer holds a full minute

    while (XPending(dpy)) {
        XEvent e;
        XNextEvent(dpy, &e);
    }
    auto t = press(dpy, XK_F8);
    while (!hasClip(data / "Clips") && msSince(t) < 30000) std::this_thread::sleep_for(1ms);
    krel::bench::report("hotkey_to_clip_ms", msSince(t), "ms");

    std::this_thread::sleep_for(2500ms); // the clip's own notice is gone
    while (XPending(dpy)) {
        XEvent e;
        XNextEvent(dpy, &e);
    }
    t = press(dpy, XK_F10);
    if (waitForToastMap(dpy, 10s)) krel::bench::report("hotkey_to_toast_ms", msSince(t), "ms");

    program.signal(SIGTERM);
    program.wait();
    fs::remove_all(data);
    XCloseDisplay(dpy);
}

} // namespace
