// AudioServer over libpulse: PulseAudio, or PipeWire through its PulseAudio
// server. The system audio is the monitor source of the default sink; the
// microphone is a source. The server converts every device to 48 kHz stereo
// float for us.

#include "media/audio_server.h"

#include "media/linux/pulse_connection.h"

#include <chrono>
#include <cstring>

namespace krel {
namespace {

constexpr int kConnectTimeoutMs = 2000;

class PulseCapture final : public AudioCapture {
public:
    explicit PulseCapture(pulse::StreamPtr stream) : stream_(std::move(stream)) {}

    bool read(std::vector<float>& out, size_t& frames) override {
        pa_stream* s = stream_.get();
        if (pa_stream_get_state(s) != PA_STREAM_READY) return false;
        for (;;) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0) return false;
            if (bytes == 0) return true; // nothing more captured
            const size_t count = bytes / (2 * sizeof(float));
            const size_t at = out.size();
            out.resize(at + count * 2, 0.0f); // a hole (data null) stays zeros
            if (data != nullptr) std::memcpy(out.data() + at, data, count * 2 * sizeof(float));
            frames += count;
            pa_stream_drop(s);
        }
    }

private:
    pulse::StreamPtr stream_;
};

} // namespace

struct AudioServer::Impl {
    pulse::PulseConnection conn;
    bool tried = false;
    std::chrono::steady_clock::time_point lastAttempt;

    std::unique_ptr<AudioCapture> open(const std::string& source, const char* name) {
        pulse::StreamPtr s = conn.record(source, name, kServerWaitMs);
        if (!s) return nullptr;
        return std::make_unique<PulseCapture>(std::move(s));
    }
};

AudioServer::AudioServer() : impl_(std::make_unique<Impl>()) {}
AudioServer::~AudioServer() = default;

bool AudioServer::connect() {
    if (impl_->conn.ready()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (impl_->tried && now - impl_->lastAttempt < std::chrono::milliseconds(kReconnectMs)) return false;
    impl_->tried = true;
    impl_->lastAttempt = now;
    return impl_->conn.connect(kConnectTimeoutMs);
}

void AudioServer::dispatch() {
    impl_->conn.dispatch();
}

std::string AudioServer::defaultPlaybackId() {
    if (!connect()) return {};
    auto info = impl_->conn.serverInfo();
    return info ? info->defaultSink : std::string();
}

std::string AudioServer::defaultMicrophoneId() {
    if (!connect()) return {};
    auto info = impl_->conn.serverInfo();
    if (!info || info->defaultSource.empty()) return {};
    auto src = impl_->conn.source(info->defaultSource);
    if (!src || src->isMonitor) return {};
    return src->name;
}

bool AudioServer::hasCaptureDevice(const std::string& id) {
    if (!connect()) return false;
    return impl_->conn.source(id).has_value();
}

std::unique_ptr<AudioCapture> AudioServer::openLoopback(const std::string& playbackId) {
    if (!connect()) return nullptr;
    auto monitor = impl_->conn.sinkMonitor(playbackId);
    if (!monitor) return nullptr;
    return impl_->open(*monitor, "system-audio");
}

std::unique_ptr<AudioCapture> AudioServer::openCapture(const std::string& deviceId) {
    if (!connect()) return nullptr;
    return impl_->open(deviceId, "microphone");
}

} // namespace krel
