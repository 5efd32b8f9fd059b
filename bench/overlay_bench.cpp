// The overlay as a user opens it (run inside scripts/services.sh): from the
// Alt+Z press to the page's "shown" notice (the log's "Overlay: sichtbar"),
// first and fifth open; the slide's steps per second as the window moves;
// and the web process's memory with a gallery of 50 clips on screen.

#include "bench.h"
#include "desktop_program.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using krel::test::DesktopProgram;
using krel::test::count;
using krel::test::readText;

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Waits until the log holds `n` copies of `line`; the time it took.
double waitForLine(const fs::path& log, const std::string& line, size_t n, Clock::time_point since) {
    while (count(readText(log), line) < n && msBetween(since, Clock::now()) < 20000)
        std::this_thread::sleep_for(1ms);
    return msBetween(since, Clock::now());
}

Clock::time_point tap(Display* dpy, unsigned long keysym, bool alt) {
    const KeyCode code = XKeysymToKeycode(dpy, keysym);
    const KeyCode altCode = XKeysymToKeycode(dpy, XK_Alt_L);
    const auto t = Clock::now();
    if (alt) XTestFakeKeyEvent(dpy, altCode, True, 0);
    XTestFakeKeyEvent(dpy, code, True, 0);
    XTestFakeKeyEvent(dpy, code, False, 0);
    if (alt) XTestFakeKeyEvent(dpy, altCode, False, 0);
    XFlush(dpy);
    return t;
}

// Counts the moves of top-level windows seen through the root window until
// `limit` passes; steps per second between the first and the last move.
double slideSteps(Display* dpy, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    int moves = 0, lastX = INT32_MIN;
    Clock::time_point first{}, last{};
    while (Clock::now() < end) {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type != ConfigureNotify || e.xconfigure.x == lastX || e.xconfigure.width < 1000) continue;
            lastX = e.xconfigure.x;
            last = Clock::now();
            if (moves++ == 0) first = last;
        }
        std::this_thread::sleep_for(200us);
    }
    return moves > 1 ? (moves - 1) / (msBetween(first, last) / 1000.0) : 0.0;
}

KREL_BENCH("overlay") {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return;
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);

    const fs::path data = fs::temp_directory_path() / ("krel-bench-overlay-" + std::to_string(::getpid()));
    fs::remove_all(data);
    fs::create_directories(data / "Clips");
    std::ofstream(data / "settings.json") << R"({"replayEnabled":false,"autoUpdate":false,"micEnabled":false})";
    const fs::path first = data / "Clips" / "Runde 2026-12-01 20-00-00.mp4";
    const std::string make = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=1280x720:rate=60 -t 10 "
                             "-c:v libx264 -preset veryfast -pix_fmt yuv420p '" + first.string() + "'";
    if (std::system(make.c_str()) != 0) return;
    for (int i = 1; i < 50; ++i)
        fs::copy_file(first, data / "Clips" / ("Runde 2026-12-01 20-" + std::to_string(10 + i) + "-00.mp4"));

    const fs::path log = data / "krel-play.log";
    {
        DesktopProgram program(KREL_PLAY_EXECUTABLE, data, {});
        std::this_thread::sleep_for(3s);
        for (size_t open = 1; open <= 5; ++open) {
            while (XPending(dpy)) {
                XEvent e;
                XNextEvent(dpy, &e);
            }
            const auto pressed = tap(dpy, XK_z, true);
            const double shown = waitForLine(log, "Overlay: sichtbar", open, pressed);
            if (open == 1) krel::bench::report("overlay_open_cold_ms", shown, "ms");
            if (open == 5) krel::bench::report("overlay_open_warm_ms", shown, "ms");
            // The slide starts 150 ms after the page is up and takes 240 ms.
            const double fps = slideSteps(dpy, 800ms);
            if (open == 5) krel::bench::report("overlay_slide_fps", fps, "steps/s");
            tap(dpy, XK_Escape, false);
            waitForLine(log, "Overlay: geschlossen", open, Clock::now());
            std::this_thread::sleep_for(500ms);
        }
        program.signal(SIGTERM);
        program.wait();
    }

    // The gallery first, every thumbnail loaded.
    {
        DesktopProgram program(KREL_PLAY_EXECUTABLE, data, {}, {"KREL_PLAY_TEST_PAGE=clips"});
        std::this_thread::sleep_for(3s);
        tap(dpy, XK_z, true);
        waitForLine(log, "Overlay: sichtbar", 6, Clock::now());
        std::this_thread::sleep_for(5s);
        const auto processes = krel::test::webProcesses(program.pid());
        if (processes.size() == 1) {
            const std::string status = readText(fs::path("/proc") / std::to_string(processes[0]) / "status");
            const size_t at = status.find("VmRSS:");
            if (at != std::string::npos)
                krel::bench::report("overlay_rss_mb", std::atof(status.c_str() + at + 6) / 1024.0, "MiB");
        }
        program.signal(SIGTERM);
        program.wait();
    }
    fs::remove_all(data);
    XCloseDisplay(dpy);
}

} // namespace
