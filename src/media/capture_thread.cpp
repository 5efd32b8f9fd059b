#include "media/capture_thread.h"

#include "config/log.h"
#include "core/clock.h"
#include "core/thread_name.h"
#include "media/audio_engine.h"
#include "media/audio_server.h"
#include "media/capture_stream.h"

#include <fmt/format.h>

#include <chrono>
#include <thread>

namespace krel {

void CaptureThread::operator()() {
    nameThisThread("krel-audio-cap");
    try {
        run();
    } catch (const std::exception& e) {
        // Nothing may escape a thread; the mixer goes on with silence.
        logLine(fmt::format("Audio-Fehler: {}", e.what()));
    }
}

void CaptureThread::run() {
    int64_t lastCheck = nowHns();
    while (!engine_.stopping_.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(kCapturePassHns / 10));
        server_.dispatch();
        const int64_t now = nowHns();

        if (engine_.systemEnabled_) service(system_, now);

        if (engine_.micDeviceChanged_.exchange(false)) {
            {
                std::lock_guard lock(engine_.lock_);
                mic_.wantedDeviceId = engine_.micDevice_;
            }
            if (engine_.micEnabled_) {
                mic_.open(server_);
                logLine(fmt::format("Audio: Mikrofon gewechselt ({})", mic_.active()));
            }
        }

        if (engine_.micEnabled_) service(mic_, now);

        if (now - lastCheck > kDeviceCheckHns) {
            lastCheck = now;
            checkDevices();
        }
    }
}

void CaptureThread::service(CaptureStream& stream, int64_t now) {
    if (stream.pump()) return;
    if (stream.lastOpenAttempt() != 0 && now - stream.lastOpenAttempt() < kReopenRetryHns) return;
    stream.open(server_);
    // Deliver what the fresh stream already has.
    stream.pump();
}

void CaptureThread::checkDevices() {
    if (engine_.systemEnabled_) {
        const std::string playback = server_.defaultPlaybackId();
        if (playback != system_.deviceId()) system_.open(server_);
    }
    if (engine_.micEnabled_) {
        if (mic_.wantedDeviceId.empty()) {
            if (server_.defaultMicrophoneId() != mic_.deviceId()) mic_.open(server_);
        } else if (mic_.wantedDeviceId != mic_.deviceId() && server_.hasCaptureDevice(mic_.wantedDeviceId)) {
            // The chosen microphone is back. While it is missing the stream
            // stays on the default one instead of being re-opened (and
            // interrupted) every 2 s.
            mic_.open(server_);
        }
    }
}

} // namespace krel
