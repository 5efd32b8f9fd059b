// Capture on the real X display of the test services (Xvfb with RANDR,
// Composite and DAMAGE): monitors, windows (covered, resized, unmapped,
// closed), the cursor, vanished monitors and a server that goes away.

#include "media/capture.h"
#include "media/video_encoder.h"
#include "media/video_scaler.h"

#include "video_test_support.h"

#include <gtest/gtest.h>
// Xlib after gtest: its macros (None, Bool) clash with gtest names.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include "media/linux/x11_support.h"
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

namespace krel {
namespace {

using test::TestWindow;
using test::waitFor;

struct Rgb {
    uint8_t r, g, b;
};

// The newest picture's pixel at (x, y), or none.
std::optional<Rgb> pixelAt(Capture& c, uint32_t x, uint32_t y) {
    std::optional<Rgb> out;
    c.withLatest([&](const BgraImage& img) {
        if (x >= img.width || y >= img.height) return;
        const uint8_t* p = img.data + static_cast<std::ptrdiff_t>(y) * img.stride + 4 * x;
        out = Rgb{p[2], p[1], p[0]};
    });
    return out;
}

bool pixelIs(Capture& c, uint32_t x, uint32_t y, Rgb want) {
    const auto p = pixelAt(c, x, y);
    return p && p->r == want.r && p->g == want.g && p->b == want.b;
}

bool sizeIs(Capture& c, uint32_t w, uint32_t h) { return c.latestSize() == std::pair<uint32_t, uint32_t>{w, h}; }

MonitorInfo firstMonitor() {
    const auto monitors = platform::listMonitors();
    EXPECT_FALSE(monitors.empty());
    return monitors.front();
}

class X11Capture : public ::testing::Test {
protected:
    D3D d3d_;
};

TEST_F(X11Capture, NothingBeforeTheFirstPictureAndStopIsHarmless) {
    Capture c(d3d_);
    EXPECT_TRUE(sizeIs(c, 0, 0));
    bool called = false;
    EXPECT_FALSE(c.withLatest([&](const BgraImage&) { called = true; }));
    EXPECT_FALSE(called);
    c.stop();
    c.stop();
}

TEST_F(X11Capture, MonitorShowsWindowsAtTheirPlace) {
    const MonitorInfo m = firstMonitor();
    EXPECT_EQ(m.width, 1920u);
    EXPECT_EQ(m.height, 1080u);
    TestWindow red(100, 200, 300, 150, 255, 0, 0);
    TestWindow blue(1500, 800, 200, 100, 0, 0, 255);
    Capture c(d3d_);
    c.startMonitor(m, false);
    ASSERT_TRUE(waitFor([&] { return sizeIs(c, 1920, 1080); }));
    ASSERT_TRUE(waitFor([&] { return pixelIs(c, 250, 275, {255, 0, 0}); }));
    EXPECT_TRUE(pixelIs(c, 1600, 850, {0, 0, 255}));
    EXPECT_FALSE(pixelIs(c, 99, 275, {255, 0, 0}));
    // A change on screen reaches the picture (through damage, no polling).
    red.setColour(0, 255, 0);
    EXPECT_TRUE(waitFor([&] { return pixelIs(c, 250, 275, {0, 255, 0}); }));
    EXPECT_NE(test::logText().find("Aufnahme Monitor"), std::string::npos);

    // The picture survives stop.
    c.stop();
    EXPECT_TRUE(sizeIs(c, 1920, 1080));
    EXPECT_TRUE(pixelIs(c, 250, 275, {0, 255, 0}));
}

TEST_F(X11Capture, WindowDeliversItsOwnPixelsEvenWhenCovered) {
    TestWindow target(50, 50, 320, 240, 0, 200, 0, "Zielfenster äöü");
    TestWindow cover(0, 0, 800, 600, 255, 255, 255);
    Capture c(d3d_);
    c.startWindow(target.id(), false);
    ASSERT_TRUE(waitFor([&] { return sizeIs(c, 320, 240); }));
    ASSERT_TRUE(waitFor([&] { return pixelIs(c, 160, 120, {0, 200, 0}); }));
    EXPECT_TRUE(pixelIs(c, 0, 0, {0, 200, 0}));
    EXPECT_TRUE(pixelIs(c, 319, 239, {0, 200, 0}));
    target.setColour(10, 20, 30);
    EXPECT_TRUE(waitFor([&] { return pixelIs(c, 160, 120, {10, 20, 30}); }));

    char exe[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    const std::string process = std::filesystem::path(exe).filename().string();
    EXPECT_NE(test::logText().find("Aufnahme Fenster: Zielfenster äöü (" + process + ")"), std::string::npos);
}

TEST_F(X11Capture, WindowFollowsSizeChanges) {
    TestWindow target(10, 10, 800, 600, 200, 100, 50);
    Capture c(d3d_);
    c.startWindow(target.id(), false);
    ASSERT_TRUE(waitFor([&] { return sizeIs(c, 800, 600); }));
    target.resize(1024, 768);
    ASSERT_TRUE(waitFor([&] { return sizeIs(c, 1024, 768); }));
    EXPECT_TRUE(waitFor([&] { return pixelIs(c, 1000, 700, {200, 100, 50}); }));
    target.resize(300, 200);
    EXPECT_TRUE(waitFor([&] { return sizeIs(c, 300, 200); }));
    target.resize(1, 1);
    EXPECT_TRUE(waitFor([&] { return sizeIs(c, 1, 1); }));
    target.resize(640, 480);
    EXPECT_TRUE(waitFor([&] { return sizeIs(c, 640, 480); }));
    EXPECT_TRUE(waitFor([&] { return pixelIs(c, 639, 479, {200, 100, 50}); }));
}

TEST_F(X11Capture, UnmappedWindowKeepsItsLastPictureAndResumes) {
    TestWindow target(10, 10, 200, 100, 255, 0, 255);
    std::atomic<int> closed{0};
    Capture c(d3d_);
    c.onClosed = [&] { ++closed; };
    c.startWindow(target.id(), false);
    ASSERT_TRUE(waitFor([&] { return pixelIs(c, 100, 50, {255, 0, 255}); }));
    target.unmap();
    target.setColour(0, 0, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(pixelIs(c, 100, 50, {255, 0, 255}));
    target.setColour(0, 128, 255);
    target.map();
    EXPECT_TRUE(waitFor([&] { return pixelIs(c, 100, 50, {0, 128, 255}); }));
    EXPECT_EQ(closed.load(), 0);
}

TEST_F(X11Capture, ClosingTheWindowRaisesOnClosedOnce) {
    auto target = std::make_unique<TestWindow>(10, 10, 200, 100, 1, 2, 3);
    std::atomic<int> closed{0};
    Capture c(d3d_);
    c.onClosed = [&] { ++closed; };
    c.startWindow(target->id(), false);
    ASSERT_TRUE(waitFor([&] { return sizeIs(c, 200, 100); }));
    target->destroy();
    EXPECT_TRUE(waitFor([&] { return closed.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(closed.load(), 1);
    EXPECT_TRUE(sizeIs(c, 200, 100)); // the last picture stays
    c.stop();
    c.stop();
}

TEST_F(X11Capture, ClosingWithoutCallbackIsHarmless) {
    TestWindow target(10, 10, 64, 64, 9, 9, 9);
    Capture c(d3d_);
    c.startWindow(target.id(), false);
    ASSERT_TRUE(waitFor([&] { return sizeIs(c, 64, 64); }));
    target.destroy();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST_F(X11Capture, StartOnAMissingWindowFailsWithTheCallsText) {
    Capture c(d3d_);
    try {
        c.startWindow(0x7FFFFFF, false);
        FAIL() << "expected an error";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("XGetWindowAttributes"), std::string::npos) << e.what();
    }
    // A later start works.
    TestWindow target(10, 10, 64, 64, 9, 9, 9);
    c.startWindow(target.id(), false);
    EXPECT_TRUE(waitFor([&] { return sizeIs(c, 64, 64); }));
}

TEST_F(X11Capture, RestartReplacesTheSource) {
    TestWindow a(10, 10, 100, 100, 255, 0, 0);
    TestWindow b(300, 10, 120, 80, 0, 0, 255);
    Capture c(d3d_);
    c.startWindow(a.id(), false);
    ASSERT_TRUE(waitFor([&] { return pixelIs(c, 50, 50, {255, 0, 0}); }));
    c.startWindow(b.id(), false);
    EXPECT_TRUE(waitFor([&] { return sizeIs(c, 120, 80) && pixelIs(c, 50, 50, {0, 0, 255}); }));
}

TEST_F(X11Capture, CursorIsDrawnOnlyWhenAsked) {
    TestWindow white(0, 0, 400, 400, 255, 255, 255);
    white.warpPointer(200, 200);
    auto nonWhiteNearPointer = [](Capture& c) {
        int count = 0;
        c.withLatest([&](const BgraImage& img) {
            for (uint32_t y = 180; y < 240; ++y)
                for (uint32_t x = 180; x < 240; ++x) {
                    const uint8_t* p = img.data + static_cast<std::ptrdiff_t>(y) * img.stride + 4 * x;
                    count += p[0] != 255 || p[1] != 255 || p[2] != 255;
                }
        });
        return count;
    };
    {
        Capture c(d3d_);
        c.startWindow(white.id(), false);
        ASSERT_TRUE(waitFor([&] { return pixelIs(c, 10, 10, {255, 255, 255}); }));
        EXPECT_EQ(nonWhiteNearPointer(c), 0);
    }
    Capture c(d3d_);
    c.startWindow(white.id(), true);
    ASSERT_TRUE(waitFor([&] { return pixelIs(c, 10, 10, {255, 255, 255}); }));
    EXPECT_TRUE(waitFor([&] { return nonWhiteNearPointer(c) > 0; }));
    // Moving the pointer away redraws the picture without it.
    white.warpPointer(20, 380);
    EXPECT_TRUE(waitFor([&] { return nonWhiteNearPointer(c) == 0; }));
}

// The whole path of a frame: a window's pixels, scaled with black bars,
// encoded, decoded back.
TEST_F(X11Capture, CapturedWindowSurvivesScaleEncodeAndDecode) {
    TestWindow target(30, 30, 480, 360, 255, 140, 0);
    TestWindow cover(0, 0, 600, 500, 0, 0, 255);
    Capture c(d3d_);
    c.startWindow(target.id(), false);
    ASSERT_TRUE(waitFor([&] { return pixelIs(c, 240, 180, {255, 140, 0}); }));

    D3D sw;
    sw.gpu = *softwareEncoderInfo();
    const auto packets = test::encodeFitted(sw, 4, 3000, [&](VideoScaler& scaler, AVFrame* f) {
        return c.withLatest([&](const BgraImage& img) { scaler.process(img, f); });
    });
    const auto decoded = test::decodeH264(packets);
    ASSERT_EQ(decoded.frames.size(), 4u);
    const AVFrame* f = decoded.frames.back().get();
    const Yuv orange = rgbToYuv709(255, 140, 0);
    EXPECT_NEAR(test::lumaAt(f, 320, 180), orange.y, 3);
    EXPECT_NEAR(test::crAt(f, 320, 180), orange.cr, 3);
    EXPECT_NEAR(test::lumaAt(f, 30, 180), 16, 2); // bars of 80 on both sides
    EXPECT_NEAR(test::lumaAt(f, 610, 180), 16, 2);
}

// A virtual monitor on part of the screen that is then removed.
TEST_F(X11Capture, VanishedMonitorRaisesOnClosed) {
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    const Window root = DefaultRootWindow(d);
    XRRMonitorInfo* info = XRRAllocateMonitor(d, 0);
    info->name = XInternAtom(d, "KREL-TEST", False);
    info->x = 960;
    info->y = 0;
    info->width = 960;
    info->height = 540;
    info->mwidth = 250;
    info->mheight = 140;
    info->noutput = 0;
    XRRSetMonitor(d, root, info);
    XSync(d, False);
    XFree(info);

    MonitorInfo virt;
    for (const auto& m : platform::listMonitors())
        if (m.name == "KREL-TEST") virt = m;
    ASSERT_EQ(virt.name, "KREL-TEST");
    EXPECT_EQ(virt.x, 960);
    TestWindow mark(970, 10, 40, 40, 255, 128, 0);

    std::atomic<int> closed{0};
    Capture c(d3d_);
    c.onClosed = [&] { ++closed; };
    c.startMonitor(virt, false);
    ASSERT_TRUE(waitFor([&] { return sizeIs(c, 960, 540); }));
    EXPECT_TRUE(waitFor([&] { return pixelIs(c, 20, 20, {255, 128, 0}); }));

    XRRDeleteMonitor(d, root, XInternAtom(d, "KREL-TEST", False));
    XSync(d, False);
    XCloseDisplay(d);
    EXPECT_TRUE(waitFor([&] { return closed.load() == 1; }));
}

// A server of its own that is killed while captured: the capture reports
// it and ends; the process goes on.
TEST_F(X11Capture, ServerGoingAwayEndsTheCapture) {
    int number = 150 + static_cast<int>(::getpid() % 500);
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number))) ++number;
    const std::string name = ":" + std::to_string(number);
    const pid_t server = ::fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        ::execlp("Xvfb", "Xvfb", name.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    ::setenv("DISPLAY", name.c_str(), 1);
    const bool up = waitFor([&] {
        Display* d = XOpenDisplay(nullptr);
        if (d) XCloseDisplay(d);
        return d != nullptr;
    });
    std::atomic<int> closed{0};
    {
        Capture c(d3d_);
        c.onClosed = [&] { ++closed; };
        if (up) {
            c.startMonitor(firstMonitor(), false);
            EXPECT_TRUE(waitFor([&] { return sizeIs(c, 640, 480); }));
        }
        ::setenv("DISPLAY", saved.c_str(), 1);
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
        ASSERT_TRUE(up) << "Xvfb " << name << " did not start";
        EXPECT_TRUE(waitFor([&] { return closed.load() == 1; }));
        EXPECT_TRUE(sizeIs(c, 640, 480));
    }
    EXPECT_NE(test::logText().find("Capture-Frame-Fehler: Verbindung zum X-Server verloren"), std::string::npos);
}

TEST(X11PixelFormat, OnlyEightBitsPerChannelInBgrxOrderIsAccepted) {
    EXPECT_NO_THROW(platform::checkBgrx(32, 0xFF0000, 0xFF00, 0xFF));
    // Depth 30: ten bits per channel would come out in wrong colours.
    try {
        platform::checkBgrx(32, 0x3FF00000, 0xFFC00, 0x3FF);
        FAIL() << "depth 30 accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "Nicht unterstütztes Pixelformat (32 bit, Masken R 3FF00000 G FFC00 B 3FF; nur 8 Bit je Farbe)");
    }
    EXPECT_THROW(platform::checkBgrx(32, 0xFF, 0xFF00, 0xFF0000), std::runtime_error); // RGBX
    EXPECT_THROW(platform::checkBgrx(24, 0xFF0000, 0xFF00, 0xFF), std::runtime_error);  // packed 3 bytes
}

TEST(X11ShmBuffer, FailedSetUpLeavesNoSizedImageBehind) {
    platform::DisplayPtr d = platform::openDisplayConnection(nullptr);
    Display* dpy = d.get();
    Visual* visual = DefaultVisual(dpy, DefaultScreen(dpy));
    platform::ShmBuffer buffer;
    // A 16-bit image cannot be taken as BGRX: the set-up fails, and fails
    // again on the next attempt instead of handing out an image without a
    // segment.
    EXPECT_THROW(buffer.ensure(dpy, visual, 16, 64, 48), std::runtime_error);
    EXPECT_EQ(buffer.image(), nullptr);
    EXPECT_THROW(buffer.ensure(dpy, visual, 16, 64, 48), std::runtime_error);
    EXPECT_EQ(buffer.image(), nullptr);
    // The proper depth then works, and the image is backed by its segment.
    buffer.ensure(dpy, visual, DefaultDepth(dpy, DefaultScreen(dpy)), 64, 48);
    ASSERT_NE(buffer.image(), nullptr);
    EXPECT_NE(buffer.image()->data, nullptr);
    EXPECT_EQ(buffer.image()->width, 64);
    buffer.release(dpy, true);
}

} // namespace
} // namespace krel
