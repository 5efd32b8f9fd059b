// Video pipeline figures at 1080p: grabbing a picture on X11, converting
// BGRA to NV12 (plain and scaled), and the software encoder's sustained
// frame rate at the default settings. Runs inside scripts/services.sh.

#include "bench.h"

#include "media/capture.h"
#include "media/linux/x11_support.h"
#include "media/video_encoder.h"
#include "media/video_scaler.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A desktop-like picture: 8x8 blocks of random colours over a gradient,
// `extraRows` taller than the frame so that a scrolling view changes every
// frame without any copying.
std::vector<uint8_t> texture(uint32_t w, uint32_t h) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    std::mt19937 rng(7);
    for (uint32_t by = 0; by < h; by += 8)
        for (uint32_t bx = 0; bx < w; bx += 8) {
            const uint32_t c = rng();
            const bool flat = (c & 3) != 0; // most blocks flat, some detailed
            for (uint32_t y = by; y < std::min(h, by + 8); ++y)
                for (uint32_t x = bx; x < std::min(w, bx + 8); ++x) {
                    uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
                    const uint32_t d = flat ? c : rng();
                    p[0] = static_cast<uint8_t>((d & 0xFF) / 2 + x * 127 / w);
                    p[1] = static_cast<uint8_t>(((d >> 8) & 0xFF) / 2 + y * 127 / h);
                    p[2] = static_cast<uint8_t>((d >> 16) & 0xFF);
                    p[3] = 255;
                }
        }
    return px;
}

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

krel::D3D softwareRecord() {
    krel::D3D d;
    d.gpu = *krel::softwareEncoderInfo();
    return d;
}

} // namespace

KREL_BENCH("video_capture") {
    using namespace krel::platform;
    DisplayPtr dpy = openDisplayConnection(nullptr);
    Display* d = dpy.get();
    const Window root = DefaultRootWindow(d);
    XWindowAttributes attrs{};
    XGetWindowAttributes(d, root, &attrs);
    ShmBuffer buffer;
    buffer.ensure(d, attrs.visual, attrs.depth, 1920, 1080);

    // The grab itself: one 1920x1080 picture into shared memory, handed to
    // a Capture as its newest picture.
    krel::D3D d3d;
    krel::Capture capture(d3d);
    const int n = 200;
    for (int i = 0; i < 10; ++i)
        XShmGetImage(d, root, buffer.image(), 0, 0, AllPlanes);
    const auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
        XShmGetImage(d, root, buffer.image(), 0, 0, AllPlanes);
    krel::bench::report("capture_grab_ms", msSince(t0) / n, "ms");
    buffer.release(d, true);

    // From a change on screen to the new picture in `latest` (server paint,
    // damage event, grab).
    Window win = XCreateSimpleWindow(d, root, 0, 0, 1920, 1080, 0, 0, 0);
    XSetWindowAttributes over{};
    over.override_redirect = True;
    XChangeWindowAttributes(d, win, CWOverrideRedirect, &over);
    XMapRaised(d, win);
    XSync(d, False);
    const auto monitors = listMonitors();
    capture.startMonitor(monitors.front(), false);
    auto pixel = [&] {
        uint8_t v = 0;
        capture.withLatest([&](const krel::BgraImage& img) { v = img.data[4 * 960 + 960 * img.stride]; });
        return v;
    };
    while (capture.latestSize().first == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double total = 0;
    const int changes = 50;
    for (int i = 0; i < changes; ++i) {
        const uint8_t blue = static_cast<uint8_t>(i % 2 ? 200 : 40);
        const auto c0 = Clock::now();
        XSetWindowBackground(d, win, blue);
        XClearWindow(d, win);
        XSync(d, False);
        while (pixel() != blue)
            std::this_thread::yield();
        total += msSince(c0);
    }
    krel::bench::report("capture_change_to_latest_ms", total / changes, "ms");
    capture.stop();
    XDestroyWindow(d, win);
    XSync(d, False);
}

KREL_BENCH("video_scale") {
    krel::D3D d3d;
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_NV12;
    frame->width = 1920;
    frame->height = 1080;
    av_frame_get_buffer(frame.get(), 64);
    auto measure = [&](uint32_t sw, uint32_t sh, uint32_t mode) {
        const auto px = texture(sw, sh);
        const krel::BgraImage img{px.data(), static_cast<int32_t>(4 * sw), sw, sh};
        krel::VideoScaler scaler(d3d, 1920, 1080, 60);
        scaler.scaleMode = mode;
        for (int i = 0; i < 5; ++i)
            scaler.process(img, frame.get());
        const int n = 100;
        const auto t0 = Clock::now();
        for (int i = 0; i < n; ++i)
            scaler.process(img, frame.get());
        return msSince(t0) / n;
    };
    krel::bench::report("scale_convert_ms", measure(1920, 1080, krel::kScaleFit), "ms");
    {
        // As in the running pipeline, where every picture is fresh from the
        // X server and not in the caches: cycle through 16 pictures (128 MB).
        std::vector<std::vector<uint8_t>> pictures;
        for (int i = 0; i < 16; ++i)
            pictures.push_back(texture(1920, 1080));
        krel::VideoScaler scaler(d3d, 1920, 1080, 60);
        scaler.scaleMode = krel::kScaleFit;
        const int n = 160;
        const auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) {
            const krel::BgraImage img{pictures[static_cast<size_t>(i) % pictures.size()].data(), 4 * 1920,
                                      1920, 1080};
            scaler.process(img, frame.get());
        }
        krel::bench::report("scale_convert_cold_ms", msSince(t0) / n, "ms");
    }
    krel::bench::report("scale_convert_fit_1440p_ms", measure(2560, 1440, krel::kScaleFit), "ms");
}

KREL_BENCH("video_encode") {
    const krel::D3D d3d = softwareRecord();
    krel::EncoderConfig cfg; // the default settings: 60 fps, VBR 25 Mbit/s, quality preset 2
    cfg.width = 1920;
    cfg.height = 1080;
    const uint32_t scroll = 240;
    const auto px = texture(1920, 1080 + scroll);
    std::atomic<int> packets{0};
    krel::VideoEncoder enc(d3d, cfg, [&](krel::PacketPtr) { packets.fetch_add(1); });
    krel::VideoScaler scaler(d3d, 1920, 1080, 60);
    scaler.scaleMode = krel::kScaleFit;
    int frame = 0;
    auto feedFor = [&](double seconds) {
        const auto t0 = Clock::now();
        while (msSince(t0) < seconds * 1000) {
            if (enc.pendingCount() >= 2) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                continue;
            }
            AVFrame* f = enc.acquireSlot();
            if (!f) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
                continue;
            }
            const uint32_t off = static_cast<uint32_t>(frame * 4) % scroll;
            const krel::BgraImage img{px.data() + static_cast<size_t>(off) * 1920 * 4, 1920 * 4, 1920, 1080};
            scaler.process(img, f);
            enc.submit(f, static_cast<int64_t>(frame) * enc.frameHns());
            ++frame;
        }
    };
    feedFor(1.0); // warm-up
    const int before = packets.load();
    const auto t0 = Clock::now();
    feedFor(5.0);
    const double fps = (packets.load() - before) / (msSince(t0) / 1000.0);
    krel::bench::report("encode_sw_fps_1080p", fps, "fps");
}
