// The audio engine's CPU cost while it runs with both sources live: a tone
// playing into the default sink (system audio) and the default microphone.
// Measured as the CPU time of the mixer thread (mixing and AAC encoding) and
// of the capture thread (the kernel's per-thread CPU clocks), as a percentage
// of one core.

#include "bench.h"

#if __has_include("audio_test_support.h")
#include "audio_test_support.h"
#include "config/settings.h"
#include "media/audio_engine.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

// The id of the thread of this process named `name`; -1 when there is none.
pid_t threadId(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    pid_t tid = -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string n;
        std::getline(comm, n);
        if (n == name) tid = static_cast<pid_t>(std::stol(e->d_name));
    }
    closedir(dir);
    return tid;
}

// CPU time of another thread of this process in seconds, exact to the
// nanosecond: the kernel's per-thread CPU clock, addressed by thread id the
// way pthread_getcpuclockid encodes it.
double threadCpuSeconds(pid_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6);
    timespec ts{};
    if (tid < 0 || clock_gettime(clock, &ts) != 0) return 0.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

KREL_BENCH("audio") {
    using namespace std::chrono;
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
