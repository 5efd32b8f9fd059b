// The audio engine's CPU cost while it runs with both sources live: a tone
// playing into the default sink (system audio) and the default microphone.
// Measured as the CPU time of the mixer thread (mixing and AAC encoding) and
// of the capture thread (the kernel's per-thread CPU clocks), as a percentage
// of one core.

#include "bench.h"
#include "media/aac_encoder.h"
#include "media/audio_mixer.h"
#include "thread_cpu.h"

#include <unistd.h>

#include <cmath>
#include <vector>

#if __has_include("audio_test_support.h")
#include "audio_test_support.h"
#include "config/settings.h"
#include "media/audio_engine.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

KREL_BENCH("audio") {
    using namespace std::chrono;
    using krel::bench::threadCpuSeconds, krel::bench::threadId;
    krel::test::TonePlayer tone(krel::test::pactl("get-default-sink"), 440.0, 0.5, 440.0, 0.5);
    std::atomic<long> packets{0};
    krel::AudioEngine engine([&](const krel::PacketPtr&) { packets.fetch_add(1); });
    krel::Settings settings; // system audio and the default microphone
    engine.start(settings);
    for (int i = 0; i < 200 && !engine.running(); ++i)
        std::this_thread::sleep_for(milliseconds(25));
    if (!engine.running() || !tone.ok()) {
        std::fprintf(stderr, "audio bench: needs the PulseAudio of scripts/services.sh\n");
        return;
    }
    std::this_thread::sleep_for(milliseconds(500)); // settle
    const pid_t mixer = threadId("krel-audio-mix"), capture = threadId("krel-audio-cap");
    const double mix0 = threadCpuSeconds(mixer), cap0 = threadCpuSeconds(capture);
    const auto t0 = steady_clock::now();
    std::this_thread::sleep_for(seconds(8));
    const double mix1 = threadCpuSeconds(mixer), cap1 = threadCpuSeconds(capture);
    const double wall = duration<double>(steady_clock::now() - t0).count();
    engine.stop();
    krel::bench::report("audio_mix_cpu_pct", 100.0 * (mix1 - mix0) / wall, "%");
    krel::bench::report("audio_capture_cpu_pct", 100.0 * (cap1 - cap0) / wall, "%");
    if (packets.load() == 0) std::fprintf(stderr, "audio bench: no packets\n");
}

#endif

// The AAC encoder alone, fed 60 s of a 440 Hz tone in 10 ms blocks without
// pauses, as a percentage of one core for real-time audio: the floor under
// audio_mix_cpu_pct.
KREL_BENCH("audio_aac") {
    krel::AacEncoder encoder;
    std::vector<int16_t> block(2 * 480);
    const krel::PacketSink sink = [](const krel::PacketPtr&) {};
    const double cpu0 = krel::bench::threadCpuSeconds(gettid());
    for (int64_t b = 0; b < 6000; ++b) {
        for (size_t i = 0; i < 480; ++i) {
            const double t = static_cast<double>(b * 480 + static_cast<int64_t>(i)) / 48'000.0;
            block[2 * i] = block[2 * i + 1] =
                krel::toPcm16(static_cast<float>(0.5 * std::sin(2 * M_PI * 440 * t)));
        }
        encoder.encode(block.data(), 480, b * 100'000, sink);
    }
    const double cpu = krel::bench::threadCpuSeconds(gettid()) - cpu0;
    krel::bench::report("audio_aac_cpu_pct", 100.0 * cpu / 60.0, "%");
}
