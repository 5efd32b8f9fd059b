// The whole pipeline (capture, scale, software H.264 at the default
// settings, audio, replay buffer) against ffmpeg's x11grab with the same x264
// preset, both recording the same moving picture on the X display for 20 s.
// Run inside scripts/services.sh.

#include "bench.h"
#include "thread_cpu.h"

#include "config/settings.h"
#include "core/engine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kW = 1920, kH = 1080, kBlock = 64, kMarkerRow = 900;

// What the animator shows above its marker strip.
enum class Scene {
    // A camera panning smoothly over a large textured landscape, as in a
    // game: most of the picture moves, and motion search finds it.
    Pan,
    // A different full-screen noise picture every frame: nothing can be
    // predicted, the worst case for any encoder.
    Noise,
};

// A landscape-like texture: value noise over four octaves, tinted from
// greens to browns, plus fine grain. `w` × `h` pixels, 0x00RRGGBB.
std::vector<uint32_t> landscape(int w, int h) {
    auto lattice = [](int x, int y, int period) {
        uint32_t v =
            static_cast<uint32_t>(x / period) * 73856093u ^ static_cast<uint32_t>(y / period) * 19349663u;
        v ^= v >> 13;
        v *= 0x5bd1e995u;
        v ^= v >> 15;
        return static_cast<float>(v & 0xFFFF) / 65535.0f;
    };
    auto smooth = [&](int x, int y, int period) {
        const float fx = static_cast<float>(x % period) / static_cast<float>(period);
        const float fy = static_cast<float>(y % period) / static_cast<float>(period);
        const float a = lattice(x, y, period), b = lattice(x + period, y, period);
        const float c = lattice(x, y + period, period), d = lattice(x + period, y + period, period);
        const float top = a + (b - a) * fx, bottom = c + (d - c) * fx;
        return top + (bottom - top) * fy;
    };
    std::vector<uint32_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h));
    std::mt19937 rng(11);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float height = 0.5f * smooth(x, y, 256) + 0.25f * smooth(x, y, 64) +
                                 0.15f * smooth(x, y, 16) + 0.10f * smooth(x, y, 4);
            const float grain = static_cast<float>(rng() & 15) / 15.0f * 0.08f;
            const float v = std::min(1.0f, height + grain);
            const auto r = static_cast<uint32_t>(60 + 150 * v),
                       g = static_cast<uint32_t>(90 + 120 * (1 - v) * v * 4 * 0.8f);
            const auto b = static_cast<uint32_t>(40 + 60 * v * v);
            pixels[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)] =
                r << 16 | g << 8 | b;
        }
    }
    return pixels;
}

// A child process that animates a full-screen window at 60 Hz: the scene in
// the upper part and a white marker block that moves 8 pixels per frame along
// row kMarkerRow on black below it.
pid_t startAnimator(Scene scene) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    Display* d = XOpenDisplay(nullptr);
    if (!d) _exit(1);
    const int screen = DefaultScreen(d);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    attrs.background_pixel = BlackPixel(d, screen);
    const Window w = XCreateWindow(d, RootWindow(d, screen), 0, 0, kW, kH, 0, CopyFromParent, InputOutput,
                                   CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
    XMapRaised(d, w);
    GC gc = XCreateGC(d, w, 0, nullptr);
    constexpr int kViewH = kH - 200;
    auto toPixmap = [&](std::vector<uint32_t>& pixels, int pw, int ph) {
        XImage* img =
            XCreateImage(d, DefaultVisual(d, screen), 24, ZPixmap, 0, reinterpret_cast<char*>(pixels.data()),
                         static_cast<unsigned>(pw), static_cast<unsigned>(ph), 32, 0);
        const Pixmap pm = XCreatePixmap(d, w, static_cast<unsigned>(pw), static_cast<unsigned>(ph), 24);
        XPutImage(d, pm, gc, img, 0, 0, 0, 0, static_cast<unsigned>(pw), static_cast<unsigned>(ph));
        img->data = nullptr;
        XDestroyImage(img);
        return pm;
    };
    std::vector<Pixmap> pictures;
    constexpr int kTexW = 2 * kW, kTexH = 2 * kViewH;
    if (scene == Scene::Noise) {
        std::mt19937 rng(7);
        std::vector<uint32_t> pixels(static_cast<size_t>(kW) * kViewH);
        for (int i = 0; i < 8; ++i) {
            for (auto& p : pixels)
                p = rng() & 0x1F1F1F;
            pictures.push_back(toPixmap(pixels, kW, kViewH));
        }
    } else {
        std::vector<uint32_t> pixels = landscape(kTexW, kTexH);
        pictures.push_back(toPixmap(pixels, kTexW, kTexH));
    }
    auto next = Clock::now();
    for (uint64_t frame = 0;; ++frame) {
        if (scene == Scene::Noise) {
            XCopyArea(d, pictures[frame % pictures.size()], w, gc, 0, 0, kW, kViewH, 0, 0);
        } else {
            // The camera sweeps the texture along a Lissajous path, up to
            // about 15 pixels per frame.
            const double t = static_cast<double>(frame) / 60.0;
            const int x = static_cast<int>((kTexW - kW) / 2.0 * (1 + std::sin(t * 0.9)));
            const int y = static_cast<int>((kTexH - kViewH) / 2.0 * (1 + std::sin(t * 1.3)));
            XCopyArea(d, pictures[0], w, gc, x, y, kW, kViewH, 0, 0);
        }
        XSetForeground(d, gc, BlackPixel(d, screen));
        XFillRectangle(d, w, gc, 0, kViewH, kW, 200);
        XSetForeground(d, gc, WhitePixel(d, screen));
        XFillRectangle(d, w, gc, static_cast<int>((frame * 8) % (kW - kBlock)), kMarkerRow - kBlock / 2,
                       kBlock, kBlock);
        XSync(d, False);
        next += std::chrono::microseconds(16667);
        std::this_thread::sleep_until(next);
    }
}

struct FrameStats {
    int frames = 0;
    int fresh = 0; // frames whose marker moved since the previous frame
    double seconds = 0;
};

// Decodes the video of `file` and counts the frames that show a new picture.
FrameStats countFreshFrames(const fs::path& file, double lastSeconds) {
    FrameStats s;
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, file.c_str(), nullptr, nullptr) < 0) return s;
    avformat_find_stream_info(in, nullptr);
    const int vi = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodecParameters* par = in->streams[vi]->codecpar;
    const AVCodec* dec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* ctx = avcodec_alloc_context3(dec);
    avcodec_parameters_to_context(ctx, par);
    avcodec_open2(ctx, dec, nullptr);
    const double tb = av_q2d(in->streams[vi]->time_base);
    const double total = static_cast<double>(in->duration) / AV_TIME_BASE;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    int lastX = -1;
    double first = -1, last = 0;
    auto take = [&] {
        while (avcodec_receive_frame(ctx, f) == 0) {
            const double t = static_cast<double>(f->best_effort_timestamp) * tb;
            if (t >= total - lastSeconds) {
                const int row = kMarkerRow * f->height / kH;
                int x = -1;
                for (int i = 0; i < f->width; ++i) {
                    if (f->data[0][row * f->linesize[0] + i] > 200) {
                        x = i;
                        break;
                    }
                }
                ++s.frames;
                if (x != lastX) ++s.fresh;
                lastX = x;
                if (first < 0) first = t;
                last = t;
            }
            av_frame_unref(f);
        }
    };
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == vi) {
            avcodec_send_packet(ctx, pkt);
            take();
        }
        av_packet_unref(pkt);
    }
    avcodec_send_packet(ctx, nullptr);
    take();
    s.seconds = last - first;
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    avformat_close_input(&in);
    return s;
}

double cpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double selfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpuSeconds(u);
}

double rssMb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            double kb = 0;
            in >> kb;
            return kb / 1024;
        }
        std::getline(in, key);
    }
    return 0;
}

std::pair<fs::path, std::string> saveClip(krel::Engine& engine) {
    std::promise<std::pair<fs::path, std::string>> done;
    auto f = done.get_future();
    engine.saveClip([&](const fs::path& p, const std::string& e) { done.set_value({p, e}); });
    return f.get();
}

// Runs the engine on the animated display for 20 s and reports its figures
// with `suffix`; returns its CPU seconds per fresh frame (0 on failure). With
// `fillBuffer` it goes on until the replay buffer holds 60 s, then times a
// clip of it and reads the resident memory.
double runEngine(const fs::path& dir, const std::string& suffix, bool fillBuffer) {
    krel::Settings s; // defaults: 1080p60, software H.264 preset 2, 25 Mbit/s VBR
    s.mode = krel::CaptureMode::Monitor;
    s.clipDir = dir.string();
    s.replayRestartAfterClip = false;
    krel::Engine engine;
    engine.setSettings(s);
    const double cpu0 = selfCpuSeconds();
    const auto threads0 = krel::bench::threadCpuTimes();
    const auto t0 = Clock::now();
    engine.start();
    std::this_thread::sleep_until(t0 + std::chrono::seconds(20));
    const double cpu = selfCpuSeconds() - cpu0;
    const auto byThread = krel::bench::cpuByName(threads0, krel::bench::threadCpuTimes());
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const krel::EngineStatus st = engine.status();
    const auto [clip, error] = saveClip(engine);
    if (!error.empty()) {
        std::printf("# pipeline: clip failed: %s\n", error.c_str());
        return 0;
    }
    const FrameStats fs = countFreshFrames(clip, 19);
    const double freshPerSecond = fs.fresh / fs.seconds;
    const double cpuPerFrame = cpu / (freshPerSecond * wall);
    krel::bench::report("pipeline_fresh_fps" + suffix, freshPerSecond, "fps");
    krel::bench::report("pipeline_encoded_fps" + suffix, fs.frames / fs.seconds, "fps");
    krel::bench::report("pipeline_cpu_ms_per_frame" + suffix, cpuPerFrame * 1e3, "ms");
    krel::bench::report("pipeline_dropped" + suffix, static_cast<double>(st.dropped), "frames");
    // Where the time goes, by thread. The encoder library's worker threads
    // carry the name of the thread that opened the encoder (here the main
    // thread's).
    for (const auto& [name, seconds] : byThread)
        std::printf("#   %-16s %6.3f ms/frame\n", name.c_str(), seconds / (freshPerSecond * wall) * 1e3);
    if (!fillBuffer) return cpuPerFrame;

    while (engine.status().replaySeconds < 60)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const krel::EngineStatus full = engine.status();
    krel::bench::report("replay_buffer_mbit_s" + suffix,
                        static_cast<double>(full.replayBytes) * 8 / 1e6 / full.replaySeconds, "Mbit/s");
    krel::bench::report("rss_mb_full_buffer" + suffix, rssMb(), "MiB");
    krel::bench::report("rss_budget_mb" + suffix, static_cast<double>(full.replayBytes) / (1 << 20) + 150,
                        "MiB");
    const auto t1 = Clock::now();
    saveClip(engine);
    krel::bench::report("clip_save_latency_ms" + suffix,
                        std::chrono::duration<double, std::milli>(Clock::now() - t1).count(), "ms");
    return cpuPerFrame;
}

// The peer: ffmpeg grabbing the same display for 20 s with the x264 preset
// that the default "qualityPreset" maps to (ultrafast). Returns its CPU
// seconds per fresh frame (0 on failure).
double runFfmpeg(const fs::path& dir, const std::string& suffix) {
    const fs::path out = dir / "ffmpeg.mp4";
    const std::string display = std::getenv("DISPLAY");
    const pid_t ff = fork();
    if (ff == 0) {
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "x11grab", "-framerate", "60",
               "-video_size", "1920x1080", "-i", display.c_str(), "-t", "20", "-c:v", "libx264", "-preset",
               "ultrafast", "-tune", "zerolatency", "-b:v", "25M", "-g", "120", "-pix_fmt", "yuv420p",
               out.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    const auto t0 = Clock::now();
    wait4(ff, &status, 0, &usage);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const FrameStats fs = countFreshFrames(out, 19);
    if (fs.seconds <= 0) {
        std::printf("# pipeline: ffmpeg produced no video\n");
        return 0;
    }
    const double freshPerSecond = fs.fresh / fs.seconds;
    const double cpuPerFrame = cpuSeconds(usage) / (freshPerSecond * wall);
    krel::bench::report("ffmpeg_fresh_fps" + suffix, freshPerSecond, "fps");
    krel::bench::report("ffmpeg_cpu_ms_per_frame" + suffix, cpuPerFrame * 1e3, "ms");
    return cpuPerFrame;
}

} // namespace

// Two scenes, each recorded by both programs in turn: full-screen noise
// (suffix "_noise"; the encoder's own work, the same in both programs,
// dominates there) and the panning landscape (the plain names, as a game
// looks to an encoder). The 60 s buffer figures are taken on the noise
// scene, where the buffer is fullest; it runs first, so that the resident
// memory is not inflated by the heap an earlier engine left behind.
KREL_BENCH("pipeline") {
    if (!std::getenv("DISPLAY")) {
        std::printf("# pipeline: no DISPLAY (run inside scripts/services.sh)\n");
        return;
    }
    const fs::path dir = fs::temp_directory_path() / ("krel-pipeline-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const Scene scene : {Scene::Noise, Scene::Pan}) {
        const std::string suffix = scene == Scene::Pan ? "" : "_noise";
        const pid_t animator = startAnimator(scene);
        std::this_thread::sleep_for(std::chrono::seconds(3)); // the texture takes a moment
        const double own = runEngine(dir, suffix, scene == Scene::Noise);
        const double peer = runFfmpeg(dir, suffix);
        if (own > 0 && peer > 0) krel::bench::report("pipeline_cpu_vs_ffmpeg" + suffix, own / peer, "ratio");
        kill(animator, SIGKILL);
        waitpid(animator, nullptr, 0);
    }
    fs::remove_all(dir);
}
