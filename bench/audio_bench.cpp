// The audio engine's CPU cost while it runs with both sources live: a tone
// playing into the default sink (system audio) and the default microphone.
// Measured as the CPU time of the mixer thread (mixing and AAC encoding) and
// of the capture thread, read from /proc, as a percentage of one core.

#include "bench.h"

#if __has_include("audio_test_support.h")
#include "audio_test_support.h"
#include "config/settings.h"
#include "media/audio_engine.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

// utime + stime in clock ticks of the thread of this process named `name`;
// -1 when there is none.
long threadTicks(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    long ticks = -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(base + "/comm");
        std::string n;
        std::getline(comm, n);
        if (n != name) continue;
        std::ifstream stat(base + "/stat");
        std::string line;
        std::getline(stat, line);
        // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stol(field);
            if (i == 15) stime = std::stol(field);
        }
        ticks = utime + stime;
    }
    closedir(dir);
    return ticks;
}

} // namespace

KREL_BENCH("audio") {
    using namespace std::chrono;
    krel::test::TonePlayer tone(krel::test::pactl("get-default-sink"), 440.0, 0.5, 440.0, 0.5);
    std::atomic<long> packets{0};
    krel::AudioEngine engine([&](const krel::PacketPtr&) { packets.fetch_add(1); });
    krel::Settings settings; // system audio and the default microphone
    engine.start(settings);
    for (int i = 0; i < 200 && !engine.running(); ++i) std::this_thread::sleep_for(milliseconds(25));
    if (!engine.running() || !tone.ok()) {
        std::fprintf(stderr, "audio bench: needs the PulseAudio of scripts/services.sh\n");
        return;
    }
    std::this_thread::sleep_for(milliseconds(500)); // settle
    const long mix0 = threadTicks("krel-audio-mix"), cap0 = threadTicks("krel-audio-cap");
    const auto t0 = steady_clock::now();
    std::this_thread::sleep_for(seconds(8));
    const long mix1 = threadTicks("krel-audio-mix"), cap1 = threadTicks("krel-audio-cap");
    const double wallTicks = duration<double>(steady_clock::now() - t0).count() * static_cast<double>(sysconf(_SC_CLK_TCK));
    engine.stop();
    krel::bench::report("audio_mix_cpu_pct", 100.0 * static_cast<double>(mix1 - mix0) / wallTicks, "%");
    krel::bench::report("audio_capture_cpu_pct", 100.0 * static_cast<double>(cap1 - cap0) / wallTicks, "%");
    if (packets.load() == 0) std::fprintf(stderr, "audio bench: no packets\n");
}

#endif
