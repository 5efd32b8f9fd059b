#include "av_sync_support.h"

#include "core/clock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <pulse/error.h>

#include <cmath>
#include <stdexcept>

namespace krel::test {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kSec = 10'000'000;
constexpr int64_t kFlashLengthHns = 1'500'000; // 150 ms white, then black
constexpr int kRate = 48'000;
constexpr double kBeepHz = 1000.0;
constexpr float kBeepAmplitude = 0.5f;

struct FormatClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};

} // namespace

FlashWindow::FlashWindow(const char* title, int64_t originHns) : origin_(originHns) {
    dpy_ = XOpenDisplay(nullptr);
    if (dpy_ == nullptr) throw std::runtime_error("no X display (run inside scripts/services.sh)");
    const int screen = DefaultScreen(dpy_);
    window_ = XCreateSimpleWindow(dpy_, RootWindow(dpy_, screen), 100, 100, 320, 240, 0, 0, BlackPixel(dpy_, screen));
    XStoreName(dpy_, window_, title);
    gc_ = XCreateGC(dpy_, window_, 0, nullptr);
    XMapRaised(dpy_, window_);
    XSync(dpy_, False);
    thread_ = std::thread([this] { run(); });
}

FlashWindow::~FlashWindow() {
    stop_ = true;
    thread_.join();
    XFreeGC(dpy_, gc_);
    XDestroyWindow(dpy_, window_);
    XCloseDisplay(dpy_);
}

void FlashWindow::paint(bool white) {
    const int screen = DefaultScreen(dpy_);
    XSetForeground(dpy_, gc_, white ? WhitePixel(dpy_, screen) : BlackPixel(dpy_, screen));
    XFillRectangle(dpy_, window_, gc_, 0, 0, 320, 240);
    XSync(dpy_, False);
}

void FlashWindow::run() {
    paint(false);
    for (int64_t k = 0; !stop_; ++k) {
        const int64_t on = origin_ + k * kFlashPeriodHns;
        if (on < nowHns()) continue;
        sleepUntilHns(on);
        paint(true);
        sleepUntilHns(on + kFlashLengthHns);
        paint(false);
    }
}

Beeper::Beeper(const std::string& sink, int64_t originHns) : origin_(originHns) {
    pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kRate, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    // 150 ms queued: a beeper thread starved on a busy machine must not let
    // the stream run dry, which would delay every later sample.
    attr.tlength = kRate * 3 / 20 * 8;
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = kRate / 200 * 8; // 5 ms
    attr.fragsize = static_cast<uint32_t>(-1);
    int err = 0;
    stream_.reset(pa_simple_new(nullptr, "krel-sync-test", PA_STREAM_PLAYBACK, sink.c_str(), "beep", &format, nullptr,
                                &attr, &err));
    if (!stream_) throw std::runtime_error(std::string("pa_simple_new: ") + pa_strerror(err));
    thread_ = std::thread([this] { run(); });
}

Beeper::~Beeper() {
    stop_ = true;
    thread_.join();
}

void Beeper::run() {
    constexpr int kChunk = kRate / 200; // 5 ms
    std::vector<float> buf(2 * kChunk);
    while (!stop_) {
        int err = 0;
        const pa_usec_t latency = pa_simple_get_latency(stream_.get(), &err);
        // The first sample written now sounds after everything queued.
        const int64_t first = nowHns() + static_cast<int64_t>(latency) * 10;
        for (int i = 0; i < kChunk; ++i) {
            const int64_t t = first + int64_t{i} * kSec / kRate;
            const int64_t since = (t - origin_) % kFlashPeriodHns;
            const bool on = t >= origin_ && since < kSec / 10;
            const double phase = 2 * M_PI * kBeepHz * static_cast<double>(since) / kSec;
            buf[2 * i] = buf[2 * i + 1] = on ? kBeepAmplitude * static_cast<float>(std::sin(phase)) : 0.0f;
        }
        if (pa_simple_write(stream_.get(), buf.data(), buf.size() * sizeof(float), &err) < 0) return;
    }
}

Onsets findOnsets(const fs::path& clip) {
    Onsets out;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, clip.c_str(), nullptr, nullptr) < 0) return out;
    std::unique_ptr<AVFormatContext, FormatClose> fmt(raw);
    avformat_find_stream_info(fmt.get(), nullptr);
    std::vector<std::unique_ptr<AVCodecContext, CodecFree>> decoders(fmt->nb_streams);
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVCodecParameters* par = fmt->streams[i]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (codec == nullptr) continue;
        decoders[i].reset(avcodec_alloc_context3(codec));
        avcodec_parameters_to_context(decoders[i].get(), par);
        decoders[i]->pkt_timebase = fmt->streams[i]->time_base;
        if (avcodec_open2(decoders[i].get(), codec, nullptr) < 0) decoders[i].reset();
    }
    bool wasWhite = true; // the first flash counts only after a black frame
    int64_t quietSamples = 0;
    auto frameDone = [&](unsigned index, const AVFrame* f) {
        const AVRational tb = fmt->streams[index]->time_base;
        const double t = static_cast<double>(f->best_effort_timestamp) * av_q2d(tb);
        if (fmt->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            const bool white = f->data[0][f->linesize[0] * (f->height / 2) + f->width / 2] > 128;
            if (white && !wasWhite) out.flashes.push_back(t);
            wasWhite = white;
        } else if (f->format == AV_SAMPLE_FMT_FLTP) {
            const auto* left = reinterpret_cast<const float*>(f->data[0]);
            for (int i = 0; i < f->nb_samples; ++i) {
                if (std::fabs(left[i]) > kBeepAmplitude / 2) {
                    if (quietSamples > kRate * 3 / 10) out.beeps.push_back(t + static_cast<double>(i) / kRate);
                    quietSamples = 0;
                } else if (std::fabs(left[i]) < 0.02f) {
                    ++quietSamples;
                }
            }
        }
    };
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    auto drain = [&](unsigned index) {
        while (avcodec_receive_frame(decoders[index].get(), frame.get()) >= 0) {
            frameDone(index, frame.get());
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
        const auto index = static_cast<unsigned>(pkt->stream_index);
        if (decoders[index] && avcodec_send_packet(decoders[index].get(), pkt.get()) >= 0) drain(index);
        av_packet_unref(pkt.get());
    }
    for (unsigned i = 0; i < decoders.size(); ++i) {
        if (!decoders[i]) continue;
        avcodec_send_packet(decoders[i].get(), nullptr);
        drain(i);
    }
    return out;
}

// Beep minus flash in milliseconds, for every flash that has a beep within
// 400 ms (flashes while the beeps go elsewhere have none).
std::vector<double> offsetsMs(const Onsets& onsets) {
    std::vector<double> out;
    for (const double flash : onsets.flashes) {
        for (const double beep : onsets.beeps) {
            if (std::fabs(beep - flash) < 0.4) out.push_back((beep - flash) * 1000.0);
        }
    }
    return out;
}

} // namespace krel::test
