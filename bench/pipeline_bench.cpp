// The whole pipeline (capture, scale, software H.264 at the default
// settings, audio, replay buffer) against ffmpeg's x11grab with the same x264
// preset, both recording the same moving picture on the X display for 20 s.
// Run inside scripts/services.sh.

#include "bench.h"

#include "config/settings.h"
#include "core/engine.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
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

// A child process that animates a full-screen window at 60 Hz: a different
// noise picture every frame (so the encoder works as for a game) and a white
// marker block that moves 8 pixels per frame along row kMarkerRow.
pid_t startAnimator() {
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
    std::vector<Pixmap> noise;
    std::mt19937 rng(7);
    std::vector<uint32_t> pixels(static_cast<size_t>(kW) * (kH - 200));
    for (int i = 0; i < 8; ++i) {
        for (auto& p : pixels) p = rng() & 0x1F1F1F;
        XImage* img = XCreateImage(d, DefaultVisual(d, screen), 24, ZPixmap, 0, reinterpret_cast<char*>(pixels.data()),
                                   kW, kH - 200, 32, 0);
        const Pixmap pm = XCreatePixmap(d, w, kW, kH - 200, 24);
        XPutImage(d, pm, gc, img, 0, 0, 0, 0, kW, kH - 200);
        img->data = nullptr;
        XDestroyImage(img);
        noise.push_back(pm);
    }
    auto next = Clock::now();
    for (uint64_t frame = 0;; ++frame) {
        XCopyArea(d, noise[frame % noise.size()], w, gc, 0, 0, kW, kH - 200, 0, 0);
        XSetForeground(d, gc, BlackPixel(d, screen));
        XFillRectangle(d, w, gc, 0, kH - 200, kW, 200);
        XSetForeground(d, gc, WhitePixel(d, screen));
        XFillRectangle(d, w, gc, static_cast<int>((frame * 8) % (kW - kBlock)), kMarkerRow - kBlock / 2, kBlock, kBlock);
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

} // namespace

KREL_BENCH("pipeline") {
    if (!std::getenv("DISPLAY")) {
        std::printf("# pipeline: no DISPLAY (run inside scripts/services.sh)\n");
        return;
    }
    const fs::path dir = fs::temp_directory_path() / ("krel-pipeline-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const pid_t animator = startAnimator();
    std::this_thread::sleep_for(std::chrono::seconds(1));

    double pipelineCpuPerFrame = 0;
    {
        krel::Settings s; // defaults: 1080p60, software H.264 preset 2, 25 Mbit/s VBR
        s.mode = krel::CaptureMode::Monitor;
        s.clipDir = dir.string();
        s.replayRestartAfterClip = false;
        krel::Engine engine;
        engine.setSettings(s);
        const double cpu0 = selfCpuSeconds();
        const auto t0 = Clock::now();
        engine.start();
        std::this_thread::sleep_until(t0 + std::chrono::seconds(20));
        const double cpu = selfCpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        const krel::EngineStatus st = engine.status();
        const auto [clip, error] = saveClip(engine);
        if (!error.empty()) {
            std::printf("# pipeline: clip failed: %s\n", error.c_str());
        } else {
            const FrameStats fs = countFreshFrames(clip, 19);
            const double freshPerSecond = fs.fresh / fs.seconds;
            pipelineCpuPerFrame = cpu / (freshPerSecond * wall);
            krel::bench::report("pipeline_fresh_fps", freshPerSecond, "fps");
            krel::bench::report("pipeline_encoded_fps", fs.frames / fs.seconds, "fps");
            krel::bench::report("pipeline_cpu_ms_per_frame", pipelineCpuPerFrame * 1e3, "ms");
            krel::bench::report("pipeline_dropped", static_cast<double>(st.dropped), "frames");
        }
        // Fill the buffer to 60 s, then time a clip of it and read the memory.
        while (engine.status().replaySeconds < 60) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const krel::EngineStatus full = engine.status();
        krel::bench::report("replay_buffer_mbit_s", static_cast<double>(full.replayBytes) * 8 / 1e6 / full.replaySeconds,
                            "Mbit/s");
        krel::bench::report("rss_mb_full_buffer", rssMb(), "MiB");
        krel::bench::report("rss_budget_mb", static_cast<double>(full.replayBytes) / (1 << 20) + 150, "MiB");
        const auto t1 = Clock::now();
        saveClip(engine);
        krel::bench::report("clip_save_latency_ms", std::chrono::duration<double, std::milli>(Clock::now() - t1).count(),
                            "ms");
    }

    // The peer: ffmpeg grabbing the same display with the x264 preset that the
    // default "qualityPreset" maps to (ultrafast).
    const fs::path out = dir / "ffmpeg.mp4";
    const std::string display = std::getenv("DISPLAY");
    const pid_t ff = fork();
    if (ff == 0) {
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "x11grab", "-framerate", "60", "-video_size",
               "1920x1080", "-i", display.c_str(), "-t", "20", "-c:v", "libx264", "-preset", "ultrafast", "-tune",
               "zerolatency", "-b:v", "25M", "-g", "120", "-pix_fmt", "yuv420p", out.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    const auto t2 = Clock::now();
    wait4(ff, &status, 0, &usage);
    const double ffWall = std::chrono::duration<double>(Clock::now() - t2).count();
    const FrameStats ffs = countFreshFrames(out, 19);
    if (ffs.seconds > 0) {
        const double freshPerSecond = ffs.fresh / ffs.seconds;
        const double ffCpuPerFrame = cpuSeconds(usage) / (freshPerSecond * ffWall);
        krel::bench::report("ffmpeg_fresh_fps", freshPerSecond, "fps");
        krel::bench::report("ffmpeg_cpu_ms_per_frame", ffCpuPerFrame * 1e3, "ms");
        if (pipelineCpuPerFrame > 0)
            krel::bench::report("pipeline_cpu_vs_ffmpeg", pipelineCpuPerFrame / ffCpuPerFrame, "ratio");
    }
    kill(animator, SIGKILL);
    waitpid(animator, nullptr, 0);
    fs::remove_all(dir);
}
