#include "media/audio_engine.h"

#include "config/log.h"
#include "config/settings.h"
#include "core/clock.h"
#include "core/thread_name.h"
#include "media/audio_mixer.h"
#include "media/audio_server.h"
#include "media/capture_stream.h"
#include "media/capture_thread.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace krel {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kMixPeriod = std::chrono::milliseconds(10);
constexpr auto kMaxTimerWait = std::chrono::milliseconds(50);
constexpr int64_t kHiccupIntervalHns = 100'000'000; // 10 s

// nowHns() counts from its first reading. Reading it while the program is
// loaded makes that the process start rather than the first audio pass, so
// the encoder's priming before the first block does not reach before zero.
[[maybe_unused]] const int64_t kClockStartedHns = nowHns();

void raisePeak(std::atomic<float>& peak, float value) {
    // Read, compare, store: a concurrent reset may be overwritten by a
    // newer peak, which is what the meter should show anyway.
    if (value > peak.load()) peak.store(value);
}

} // namespace

int64_t parseHiccupMs(const char* value) {
    if (value == nullptr) return 0;
    const size_t len = std::strlen(value);
    if (len == 0 || len > 15) return 0;
    int64_t ms = 0;
    for (size_t i = 0; i < len; ++i) {
        if (value[i] < '0' || value[i] > '9') return 0;
        ms = ms * 10 + (value[i] - '0');
    }
    return ms;
}

AudioEngine::AudioEngine(PacketSink sink) : sink_(std::move(sink)) {}

AudioEngine::~AudioEngine() {
    stop();
}

void AudioEngine::setMicDevice(const std::string& deviceId) {
    std::lock_guard lock(lock_);
    if (deviceId == micDevice_) return;
    micDevice_ = deviceId;
    micDeviceChanged_.store(true);
}

std::optional<StreamDescription> AudioEngine::outputType() const {
    std::lock_guard lock(lock_);
    return outputType_;
}

void AudioEngine::start(const Settings& settings) {
    stop();
    {
        std::lock_guard lock(lock_);
        micDevice_ = settings.micDevice;
        micDeviceChanged_.store(false);
    }
    systemEnabled_ = true;
    micEnabled_ =
        settings.micEnabled && (settings.audio == AudioMix::GameMic || settings.audio == AudioMix::SystemMic);
    micMuted_.store(settings.micMuted);
    micMono_.store(settings.micMono);
    gameVolume_.store(settings.gameVolume);
    micVolume_.store(settings.micVolume);
    stopping_.store(false);

    // A short-lived encoder only to learn the stream description, so that
    // writers can be set up before the first packet exists.
    {
        AacEncoder probe;
        std::lock_guard lock(lock_);
        outputType_ = probe.outputType();
    }
    mixer_ = std::thread(&AudioEngine::mixerMain, this);
}

void AudioEngine::stop() {
    stopping_.store(true);
    if (mixer_.joinable()) mixer_.join();
    running_.store(false);
}

void AudioEngine::mixerMain() {
    nameThisThread("krel-audio-mix");
    std::mutex sourceLock;
    AudioServer server;
    CaptureStream system(true, sourceLock);
    CaptureStream mic(false, sourceLock);
    std::thread capture;

    try {
        if (systemEnabled_) system.open(server);
        {
            std::lock_guard lock(lock_);
            mic.wantedDeviceId = micDevice_;
        }
        if (micEnabled_) mic.open(server);

        AacEncoder encoder;
        running_.store(true);
        logLine(fmt::format("Audio: System={}{} Mikrofon={}", system.active(),
                            system.excludesSelf() ? " (ohne KREL Play)" : "", mic.active()));

        // Even when audio starts with the process, no packet time before 0.
        sleepUntilHns(kAacPrimingHns);
        AudioMixer mixer(nowHns());
        const int64_t hiccupMs = parseHiccupMs(std::getenv("KREL_PLAY_TEST_AUDIO_HICCUP_MS"));
        int64_t lastHiccup = nowHns();
        std::vector<int16_t> pcm;
        pcm.reserve(48'000 / 10 * 2);
        const auto deliver = [this](const PacketPtr& p) { sink_(p); };

        capture = std::thread(CaptureThread(*this, server, system, mic));

        auto next = Clock::now() + kMixPeriod;
        while (!stopping_.load()) {
            std::this_thread::sleep_until(std::min(next, Clock::now() + kMaxTimerWait));
            next += kMixPeriod;
            if (const auto t = Clock::now(); next < t) next = t; // missed ticks fire once

            if (hiccupMs != 0 && nowHns() - lastHiccup > kHiccupIntervalHns) {
                lastHiccup = nowHns();
                std::this_thread::sleep_for(std::chrono::milliseconds(hiccupMs));
            }

            const MixLevels levels{micMuted_.load(), micMono_.load(), gameVolume_.load(), micVolume_.load()};
            MixBlock block;
            {
                std::lock_guard lock(sourceLock);
                const int64_t now = nowHns();
                block = mixer.pass(now, MixSource{&system.queue(), systemEnabled_ && system.live(now), true},
                                   MixSource{&mic.queue(), micEnabled_ && mic.live(now), true}, levels, pcm);
            }
            if (block.frames == 0) continue;
            raisePeak(gamePeak_, block.peaks.game);
            raisePeak(micPeak_, block.peaks.mic);
            encoder.encode(pcm.data(), static_cast<size_t>(block.frames), block.timeHns, deliver);
        }
        // The samples still inside the encoder belong to the track.
        encoder.flush(deliver);
    } catch (const std::exception& e) {
        logLine(fmt::format("Audio-Fehler: {}", e.what()));
    }

    stopping_.store(true);
    if (capture.joinable()) capture.join();
    system.close();
    mic.close();
    running_.store(false);
}

} // namespace krel
