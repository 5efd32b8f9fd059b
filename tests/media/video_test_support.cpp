#include "video_test_support.h"

#include "config/data_directory.h"
#include "media/placement.h"
#include "media/video_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace krel::test {
namespace {

// Each test process logs into a fresh data folder of its own, removed at exit.
struct PrivateDataDirectory {
    std::filesystem::path path;
    PrivateDataDirectory() {
        if (std::getenv("KREL_PLAY_DATA_DIR")) return;
        path = std::filesystem::temp_directory_path() / ("krel-video-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        ::setenv("KREL_PLAY_DATA_DIR", path.c_str(), 1);
    }
    ~PrivateDataDirectory() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};
const PrivateDataDirectory gDataDirectory;

} // namespace

void Picture::fill(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, uint8_t r, uint8_t g, uint8_t b) {
    for (uint32_t y = y0; y < y1; ++y)
        for (uint32_t x = x0; x < x1; ++x) {
            uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = b;
            p[1] = g;
            p[2] = r;
            p[3] = 255;
        }
}

Picture solidPicture(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b) {
    Picture p;
    p.width = w;
    p.height = h;
    p.pixels.resize(static_cast<size_t>(w) * h * 4);
    p.fill(0, 0, w, h, r, g, b);
    return p;
}

void FrameFree::operator()(AVFrame* f) const { av_frame_free(&f); }

std::vector<PacketPtr> encodeFitted(const D3D& d3d, int frames, int32_t bitrateKbps,
                                    const std::function<bool(VideoScaler&, AVFrame*)>& render) {
    std::mutex lock;
    std::vector<PacketPtr> packets;
    EncoderConfig cfg;
    cfg.width = 640;
    cfg.height = 360;
    cfg.fps = 30;
    cfg.bitrateKbps = bitrateKbps;
    {
        VideoEncoder enc(d3d, cfg, [&](PacketPtr p) {
            std::lock_guard g(lock);
            packets.push_back(std::move(p));
        });
        VideoScaler scaler(d3d, 640, 360, 30);
        scaler.scaleMode = kScaleFit;
        for (int i = 0; i < frames; ++i) {
            AVFrame* f = nullptr;
            if (!waitFor([&] { return (f = enc.acquireSlot()) != nullptr; })) return {};
            if (!render(scaler, f)) return {};
            enc.submit(f, i * enc.frameHns());
            if (!waitFor([&] { return enc.pendingCount() == 0; })) return {};
        }
    } // the encoder drains before its packets are read
    return packets;
}

Decoded decodeH264(const std::vector<PacketPtr>& packets) {
    Decoded out;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(avcodec_alloc_context3(codec),
                                                                     [](AVCodecContext* c) { avcodec_free_context(&c); });
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) throw std::runtime_error("decoder");
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    auto drain = [&] {
        for (;;) {
            FramePtr f(av_frame_alloc());
            if (avcodec_receive_frame(ctx.get(), f.get()) < 0) break;
            out.frames.push_back(std::move(f));
        }
    };
    for (const auto& p : packets) {
        pkt->data = const_cast<uint8_t*>(p->data.data());
        pkt->size = static_cast<int>(p->data.size());
        pkt->pts = p->pts;
        if (avcodec_send_packet(ctx.get(), pkt.get()) < 0) ++out.errors;
        drain();
    }
    avcodec_send_packet(ctx.get(), nullptr);
    drain();
    return out;
}

uint8_t lumaAt(const AVFrame* f, int x, int y) { return f->data[0][y * f->linesize[0] + x]; }
uint8_t cbAt(const AVFrame* f, int x, int y) { return f->data[1][(y / 2) * f->linesize[1] + x / 2]; }
uint8_t crAt(const AVFrame* f, int x, int y) { return f->data[2][(y / 2) * f->linesize[2] + x / 2]; }

bool hasNalType(const std::vector<uint8_t>& d, int type) {
    for (size_t i = 0; i + 3 < d.size(); ++i)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && (d[i + 3] & 0x1F) == type) return true;
    return false;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

std::string logText() {
    std::ifstream in(dataDirectory() / "krel-play.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct TestWindow::Conn {
    Display* dpy = nullptr;
    ~Conn() {
        if (dpy) XCloseDisplay(dpy);
    }
};

TestWindow::TestWindow(int x, int y, uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b, const std::string& title)
    : conn_(std::make_unique<Conn>()) {
    // A loaded machine may refuse a connection for a moment; try a few times.
    for (int attempt = 0; attempt < 40 && !conn_->dpy; ++attempt) {
        conn_->dpy = XOpenDisplay(nullptr);
        if (!conn_->dpy) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!conn_->dpy) throw std::runtime_error("no X display (run inside scripts/services.sh)");
    Display* d = conn_->dpy;
    XSetWindowAttributes attrs{};
    attrs.background_pixel = (static_cast<unsigned long>(r) << 16) | (g << 8) | b;
    attrs.override_redirect = True;
    window_ = XCreateWindow(d, DefaultRootWindow(d), x, y, w, h, 0, CopyFromParent, InputOutput, CopyFromParent,
                            CWBackPixel | CWOverrideRedirect, &attrs);
    if (!title.empty()) {
        XStoreName(d, window_, title.c_str());
        XChangeProperty(d, window_, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(title.data()),
                        static_cast<int>(title.size()));
    }
    const unsigned long pid = static_cast<unsigned long>(::getpid());
    XChangeProperty(d, window_, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    XMapRaised(d, window_);
    sync();
}

TestWindow::~TestWindow() { destroy(); }

void TestWindow::sync() { XSync(conn_->dpy, False); }

void TestWindow::setColour(uint8_t r, uint8_t g, uint8_t b) {
    XSetWindowBackground(conn_->dpy, window_, (static_cast<unsigned long>(r) << 16) | (g << 8) | b);
    XClearWindow(conn_->dpy, window_);
    sync();
}

void TestWindow::resize(uint32_t w, uint32_t h) {
    XResizeWindow(conn_->dpy, window_, w, h);
    XClearWindow(conn_->dpy, window_);
    sync();
}

void TestWindow::unmap() {
    XUnmapWindow(conn_->dpy, window_);
    sync();
}

void TestWindow::map() {
    XMapRaised(conn_->dpy, window_);
    sync();
}

void TestWindow::raise() {
    XRaiseWindow(conn_->dpy, window_);
    sync();
}

void TestWindow::destroy() {
    if (!window_) return;
    XDestroyWindow(conn_->dpy, window_);
    sync();
    window_ = 0;
}

void TestWindow::warpPointer(int x, int y) {
    XWarpPointer(conn_->dpy, 0, window_, 0, 0, 0, 0, x, y);
    sync();
}

} // namespace krel::test
