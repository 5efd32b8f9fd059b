// Audio against video through the whole engine: a window flashes white once
// a second while a beep sounds in the default sink at the same instant; the
// engine records the window at 60 fps, and the clip read back tells how far
// each beep lies from its flash (beep minus flash, negative: sound early).
// Figures for the start of capture and after a default-sink change: median,
// smallest and largest offset in milliseconds. Needs scripts/services.sh.

#include "bench.h"

#include "audio_test_support.h"
#include "av_sync_support.h"
#include "config/settings.h"
#include "core/clock.h"
#include "core/engine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

fs::path saveClip(krel::Engine& engine) {
    std::promise<fs::path> promise;
    engine.saveClip([&](const fs::path& p, const std::string&) { promise.set_value(p); });
    auto future = promise.get_future();
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return {};
    return future.get();
}

void reportOffsets(const fs::path& clip, const std::string& name) {
    std::vector<double> offsets = krel::test::offsetsMs(krel::test::findOnsets(clip));
    if (offsets.empty()) {
        std::printf("# %s: no flash with a beep in the clip\n", name.c_str());
        return;
    }
    std::sort(offsets.begin(), offsets.end());
    krel::bench::report(name + "_median", offsets[offsets.size() / 2], "ms");
    krel::bench::report(name + "_min", offsets.front(), "ms");
    krel::bench::report(name + "_max", offsets.back(), "ms");
}

} // namespace

KREL_BENCH("avsync") {
    if (!std::getenv("DISPLAY") || krel::test::pactl("info").find("Default Sink: krel_null") == std::string::npos) {
        std::printf("# avsync: needs the X display and PulseAudio of scripts/services.sh\n");
        return;
    }
    const fs::path dir = fs::temp_directory_path() / ("krel-avsync-" + std::to_string(getpid()));
    fs::create_directories(dir);
    {
        const int64_t origin = krel::nowHns() + krel::test::kFlashPeriodHns / 2;
        krel::test::FlashWindow window("KREL Blitz", origin);
        auto beeper = std::make_unique<krel::test::Beeper>("krel_null", origin);
        std::this_thread::sleep_for(std::chrono::seconds(3)); // the beeper's stream settles
        krel::Settings settings;
        settings.clipDir = dir.string();
        settings.mode = krel::CaptureMode::Window;
        settings.windowTitle = "KREL Blitz";
        settings.scale = krel::ScaleMode::Original;
        settings.fps = 60;
        settings.qualityPreset = 0;
        settings.replaySeconds = 4;
        settings.micEnabled = false;
        settings.replayRestartAfterClip = false;
        krel::Engine engine;
        engine.setSettings(settings);
        engine.start();
        std::this_thread::sleep_for(std::chrono::seconds(7));
        reportOffsets(saveClip(engine), "avsync_start");

        krel::test::PulseModule other("module-null-sink sink_name=krel_bench_other");
        krel::test::pactl("set-default-sink krel_bench_other");
        beeper.reset();
        beeper = std::make_unique<krel::test::Beeper>("krel_bench_other", origin);
        std::this_thread::sleep_for(std::chrono::seconds(9));
        reportOffsets(saveClip(engine), "avsync_sink_change");
        beeper.reset();
        engine.stop();
        krel::test::pactl("set-default-sink krel_null");
    }
    fs::remove_all(dir);
}
