#include "audio_test_support.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

namespace krel::test {

struct TonePlayer::State {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* ctx = nullptr;
    pa_stream* stream = nullptr;
    double freq[2] = {0, 0};
    double amp[2] = {0, 0};
    uint64_t frame = 0;
    bool ready = false;
};

namespace {

void writeTone(pa_stream* s, size_t bytes, void* user) {
    auto* st = static_cast<TonePlayer::State*>(user);
    void* buf = nullptr;
    size_t n = bytes;
    if (pa_stream_begin_write(s, &buf, &n) < 0 || buf == nullptr) return;
    auto* out = static_cast<float*>(buf);
    const size_t frames = n / (2 * sizeof(float));
    for (size_t i = 0; i < frames; ++i, ++st->frame) {
        for (int c = 0; c < 2; ++c) {
            out[2 * i + c] = static_cast<float>(
                st->amp[c] * std::sin(2.0 * M_PI * st->freq[c] * static_cast<double>(st->frame) / 48000.0));
        }
    }
    pa_stream_write(s, buf, frames * 2 * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
}

void signalLoop(void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

} // namespace

TonePlayer::TonePlayer(const std::string& sink, double freqL, double ampL, double freqR, double ampR,
                       const std::string& server)
    : s_(std::make_unique<State>()) {
    s_->freq[0] = freqL;
    s_->freq[1] = freqR;
    s_->amp[0] = ampL;
    s_->amp[1] = ampR;
    s_->loop = pa_threaded_mainloop_new();
    s_->ctx = pa_context_new(pa_threaded_mainloop_get_api(s_->loop), "krel-test-tone");
    pa_context_set_state_callback(
        s_->ctx, [](pa_context*, void* l) { signalLoop(l); }, s_->loop);
    pa_threaded_mainloop_start(s_->loop);
    pa_threaded_mainloop_lock(s_->loop);
    if (pa_context_connect(s_->ctx, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) >= 0) {
        for (;;) {
            const auto st = pa_context_get_state(s_->ctx);
            if (st == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(st)) break;
            pa_threaded_mainloop_wait(s_->loop);
        }
    }
    if (pa_context_get_state(s_->ctx) == PA_CONTEXT_READY) {
        pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, 48000, 2};
        s_->stream = pa_stream_new(s_->ctx, "tone", &sampleSpec, nullptr);
        pa_stream_set_state_callback(
            s_->stream, [](pa_stream*, void* l) { signalLoop(l); }, s_->loop);
        pa_stream_set_write_callback(s_->stream, writeTone, s_.get());
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = 48000 / 4 * 8; // 250 ms: no underrun on a busy machine
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        pa_stream_connect_playback(s_->stream, sink.c_str(), &attr, PA_STREAM_ADJUST_LATENCY, nullptr,
                                   nullptr);
        for (;;) {
            const auto st = pa_stream_get_state(s_->stream);
            if (st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st)) break;
            pa_threaded_mainloop_wait(s_->loop);
        }
        s_->ready = pa_stream_get_state(s_->stream) == PA_STREAM_READY;
    }
    pa_threaded_mainloop_unlock(s_->loop);
    if (s_->ready) {
        // An idle null sink renders up to 2 s ahead of the clock, so a new
        // stream (and its monitor) would be heard only that much later.
        // Suspending and resuming restarts its time line at now, with the
        // low latency this stream asks for.
        const std::string serverArg = server.empty() ? "" : " -s " + server;
        pactl(serverArg + " suspend-sink " + sink + " 1");
        pactl(serverArg + " suspend-sink " + sink + " 0");
    }
}

TonePlayer::~TonePlayer() {
    pa_threaded_mainloop_lock(s_->loop);
    if (s_->stream != nullptr) {
        pa_stream_set_write_callback(s_->stream, nullptr, nullptr);
        pa_stream_set_state_callback(s_->stream, nullptr, nullptr);
        pa_stream_disconnect(s_->stream);
        pa_stream_unref(s_->stream);
    }
    pa_context_set_state_callback(s_->ctx, nullptr, nullptr);
    pa_context_disconnect(s_->ctx);
    pa_context_unref(s_->ctx);
    pa_threaded_mainloop_unlock(s_->loop);
    pa_threaded_mainloop_stop(s_->loop);
    pa_threaded_mainloop_free(s_->loop);
}

bool TonePlayer::ok() const {
    return s_->ready;
}

std::string pactl(const std::string& args) {
    const std::string cmd = "pactl " + args + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
    std::string out;
    if (!p) return out;
    std::array<char, 256> buf{};
    while (std::fgets(buf.data(), buf.size(), p.get()) != nullptr)
        out += buf.data();
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

void PacketLog::add(const PacketPtr& p) {
    std::lock_guard lock(m_);
    packets_.push_back(p);
}

std::vector<PacketPtr> PacketLog::packets() const {
    std::lock_guard lock(m_);
    return packets_;
}

size_t Pcm::indexAt(int64_t hns) const {
    if (hns <= startHns) return 0;
    const auto i = static_cast<size_t>((hns - startHns) * 48000 / 10'000'000);
    return std::min(i, left.size());
}

Pcm decodeAac(const StreamDescription& type, const std::vector<PacketPtr>& packets) {
    Pcm pcm;
    if (packets.empty()) return pcm;
    pcm.startHns = packets.front()->pts;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) {
        ADD_FAILURE() << "no AAC decoder";
        return pcm;
    }
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(type.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(type.extradata.begin(), type.extradata.end(), ctx->extradata);
    ctx->extradata_size = static_cast<int>(type.extradata.size());
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        ADD_FAILURE() << "avcodec_open2 for the decoder failed";
        return pcm;
    }
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(),
                                                       [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    auto drain = [&] {
        while (avcodec_receive_frame(ctx.get(), frame.get()) >= 0) {
            EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
            EXPECT_EQ(frame->ch_layout.nb_channels, 2);
            const auto* l = reinterpret_cast<const float*>(frame->data[0]);
            const auto* r = reinterpret_cast<const float*>(frame->data[1]);
            pcm.left.insert(pcm.left.end(), l, l + frame->nb_samples);
            pcm.right.insert(pcm.right.end(), r, r + frame->nb_samples);
            av_frame_unref(frame.get());
        }
    };
    for (const auto& p : packets) {
        std::vector<uint8_t> padded(p->data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::copy(p->data.begin(), p->data.end(), padded.begin());
        pkt->data = padded.data();
        pkt->size = static_cast<int>(p->data.size());
        EXPECT_GE(avcodec_send_packet(ctx.get(), pkt.get()), 0);
        drain();
    }
    avcodec_send_packet(ctx.get(), nullptr);
    drain();
    return pcm;
}

double toneAmplitude(const std::vector<float>& x, size_t from, size_t to, double freq) {
    if (to <= from) return 0.0;
    double re = 0.0, im = 0.0;
    const double w = 2.0 * M_PI * freq / 48000.0;
    for (size_t i = from; i < to; ++i) {
        re += x[i] * std::cos(w * static_cast<double>(i));
        im += x[i] * std::sin(w * static_cast<double>(i));
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(to - from);
}

double bandAmplitude(const std::vector<float>& x, size_t from, size_t to, double freq) {
    double best = 0.0;
    for (int k = -4; k <= 4; ++k)
        best = std::max(best, toneAmplitude(x, from, to, freq * (1.0 + 0.0025 * k)));
    return best;
}

double zeroCrossingFrequency(const std::vector<float>& x, size_t from, size_t to) {
    size_t crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if ((x[i - 1] < 0.0f) != (x[i] < 0.0f)) ++crossings;
    }
    return to > from ? static_cast<double>(crossings) / 2.0 * 48000.0 / static_cast<double>(to - from) : 0.0;
}

double peakAbs(const std::vector<float>& x, size_t from, size_t to) {
    double p = 0.0;
    for (size_t i = from; i < to; ++i)
        p = std::max(p, static_cast<double>(std::fabs(x[i])));
    return p;
}

double rms(const std::vector<float>& x, size_t from, size_t to) {
    if (to <= from) return 0.0;
    double s = 0.0;
    for (size_t i = from; i < to; ++i)
        s += static_cast<double>(x[i]) * x[i];
    return std::sqrt(s / static_cast<double>(to - from));
}

void expectContinuousAudio(const std::vector<PacketPtr>& packets) {
    ASSERT_GE(packets.size(), 2u);
    const int64_t base = packets[1]->pts;
    const int64_t firstStep = packets[1]->pts - packets[0]->pts;
    EXPECT_TRUE(firstStep == 213'333 || firstStep == 213'334) << firstStep;
    for (size_t k = 0; k < packets.size(); ++k) {
        const Packet& p = *packets[k];
        ASSERT_EQ(p.stream, kAudioStream);
        ASSERT_TRUE(p.keyframe);
        ASSERT_FALSE(p.data.empty());
        if (k >= 1) {
            // Exact grid: packet k starts (k - 1) × 1024 frames after packet 1.
            const int64_t frames = static_cast<int64_t>(k - 1) * 1024;
            ASSERT_EQ(p.pts - base, frames * 10'000'000 / 48'000) << "packet " << k;
        }
        if (k + 1 < packets.size()) {
            ASSERT_EQ(p.pts + p.duration, packets[k + 1]->pts) << "packet " << k;
        }
    }
}

} // namespace krel::test

#include "config/data_directory.h"

#include <fstream>
#include <sstream>

namespace krel::test {

double recentTone(const StreamDescription& type, const std::vector<PacketPtr>& packets, double freq,
                  int64_t windowHns, bool right) {
    if (packets.size() < 4) return 0.0;
    const Pcm pcm = decodeAac(type, packets);
    const int64_t end = packets.back()->pts - 500'000;
    const std::vector<float>& x = right ? pcm.right : pcm.left;
    return bandAmplitude(x, pcm.indexAt(end - windowHns), pcm.indexAt(end), freq);
}

std::string readLog() {
    std::ifstream f(dataDirectory() / "krel-play.log");
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

PulseModule::PulseModule(const std::string& args) {
    const std::string out = pactl("load-module " + args);
    try {
        index_ = std::stoi(out);
    } catch (...) {
        ADD_FAILURE() << "pactl load-module " << args << ": " << out;
    }
}

PulseModule::~PulseModule() {
    unload();
}

void PulseModule::unload() {
    if (index_ >= 0) pactl("unload-module " + std::to_string(index_));
    index_ = -1;
}

} // namespace krel::test

// libpulse is not built with ThreadSanitizer: its own threads (the tone
// player's threaded main loop) synchronise through atomics and futexes the
// sanitizer cannot see, which shows up as races inside the library.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulse.so\n"
           "race:libpulsecommon\n"
           "called_from_lib:libpulse.so\n"
           "called_from_lib:libpulsecommon\n";
}

namespace krel::test {

Settings settingsFor(AudioMix mix, const std::string& micDevice) {
    Settings s;
    s.audio = mix;
    s.micEnabled = true;
    s.micDevice = micDevice;
    return s;
}

void PulseAudioTest::SetUp() {
    // The log goes into a folder of this test process, set before the first
    // line is written.
    static TempDir dataDir;
    static const bool set = setenv("KREL_PLAY_DATA_DIR", dataDir.path().c_str(), 1) == 0;
    ASSERT_TRUE(set);
    ASSERT_NE(pactl("info").find("Default Sink: krel_null"), std::string::npos)
        << "needs the PulseAudio of scripts/services.sh";
}

} // namespace krel::test
