#include "core/engine.h"

#include "config/data_directory.h"
#include "config/log.h"
#include "config/utf8_path.h"
#include "core/clock.h"
#include "core/thread_name.h"
#include "media/audio_engine.h"
#include "media/capture.h"
#include "media/gpu_device.h"
#include "media/video_encoder.h"
#include "media/video_scaler.h"

#include <fmt/format.h>

#include <sys/statvfs.h>

namespace krel {

const char* modeLabel(CaptureMode mode) {
    switch (mode) {
    case CaptureMode::Monitor: return "Bildschirm";
    case CaptureMode::Window: return "Fenster";
    case CaptureMode::Game: break;
    }
    return "Nur Spiel";
}

const char* codecLabel(int32_t codec) {
    switch (codec) {
    case 1: return "HEVC";
    case 2: return "AV1";
    default: return "H.264";
    }
}

Engine::Engine(std::unique_ptr<WindowSystem> windows) : windows_(std::move(windows)) {
    replay_.setLimits(ReplayBuffer::kDefaultMaxHns, ReplayBuffer::kDefaultMaxBytes);
    audioEngine_ = std::make_unique<AudioEngine>([this](const PacketPtr& p) { onPacket(p, 0); });
}

Engine::~Engine() {
    stop();
    // Clip jobs and the source-closed handler use the engine until they end.
    std::unique_lock lock(jobsMutex_);
    jobsDone_.wait(lock, [this] { return jobs_ == 0; });
    lock.unlock();
    audioEngine_.reset();
}

WindowSystem& Engine::windows() {
    std::lock_guard lock(lock_);
    if (!windows_) windows_ = createWindowSystem();
    return *windows_;
}

void Engine::setSettings(const Settings& s) {
    std::lock_guard lock(lock_);
    const Settings& o = settings_;
    const bool rebuild = o.mode != s.mode || o.monitorIndex != s.monitorIndex || o.windowTitle != s.windowTitle ||
                         o.fps != s.fps || o.codec != s.codec || o.rate != s.rate || o.bitrateKbps != s.bitrateKbps ||
                         o.qualityPreset != s.qualityPreset || o.outWidth != s.outWidth ||
                         o.outHeight != s.outHeight || o.scale != s.scale || o.captureCursor != s.captureCursor ||
                         o.audio != s.audio || o.micEnabled != s.micEnabled;
    const bool pipelineExisted = encoder_ || capture_;
    settings_ = s;

    replay_.setEnabled(s.replayEnabled);
    replay_.setLimits(static_cast<int64_t>(s.replaySeconds) * kHnsPerSecond, uint64_t{s.replayMaxMB} << 20);
    audioEngine_->setMicMuted(s.micMuted);
    audioEngine_->setGameVolume(s.gameVolume);
    audioEngine_->setMicVolume(s.micVolume);
    audioEngine_->setMicDevice(s.micDevice);
    audioEngine_->setMicMono(s.micMono);
    namer_.setClipDir(settings_.clipDir);

    // An engine that was started but found no source (no game yet, the
    // chosen window not open) tries the new source at once as well.
    if (rebuild && (pipelineExisted || started_)) {
        stop();
        start();
    }
}

void Engine::stop() {
    std::lock_guard lock(lock_);
    started_ = false;
    stopPipeline();
    audioEngine_->stop();
}

void Engine::stopPipeline() {
    std::lock_guard lock(lock_);
    stop_.exchange(true);
    if (pacer_.joinable()) pacer_.join();
    {
        std::lock_guard rec(recLock_);
        recEncoder_ = nullptr;
        if (recWriter_) {
            try {
                recWriter_->finalize();
            } catch (const std::exception&) {
                // The file is kept as far as it got; a fragmented file stays
                // playable up to its last complete fragment.
            }
            lastClip_ = utf8FromPath(recWriter_->path());
            lastRecording_ = lastClip_;
            recWriter_.reset();
            recPaused_ = false;
            recNeedKey_ = false;
        }
    }
    if (capture_) capture_->stop();
    // Replay of this pipeline stays saveable after it has gone.
    if (encoder_) {
        if (const auto type = encoder_->outputType()) keepVideoType(generation_, *type);
    }
    encoder_.reset(); // drains: its last packets still reach onPacket
    scaler_.reset();
    capture_.reset();
    sourceWindow_.reset();
}

void Engine::onPacket(PacketPtr packet, uint64_t generation) {
    if (packet->pts < 0) return;
    replay_.push(packet, generation);
    std::lock_guard rec(recLock_);
    recordPacket(packet);
}

void Engine::setReplayEnabled(bool on) {
    if (on) {
        replay_.setEnabled(true);
    } else {
        replay_.disableAndClear();
    }
    std::lock_guard lock(lock_);
    settings_.replayEnabled = on;
}

void Engine::setMicMuted(bool muted) {
    audioEngine_->exchangeMicMuted(muted);
    std::lock_guard lock(lock_);
    settings_.micMuted = muted;
}

void Engine::keepVideoType(uint64_t generation, const StreamDescription& type) {
    // lock_ is held. The buffer spans at most a few pipelines.
    constexpr size_t kKept = 8;
    videoTypes_[generation] = type;
    while (videoTypes_.size() > kKept) videoTypes_.erase(videoTypes_.begin());
}

std::optional<StreamDescription> Engine::videoTypeOf(uint64_t generation) {
    std::lock_guard lock(lock_);
    if (encoder_ && generation == generation_) {
        if (auto type = encoder_->outputType()) return type;
    }
    const auto it = videoTypes_.find(generation);
    if (it == videoTypes_.end()) return std::nullopt;
    return it->second;
}

std::optional<StreamDescription> Engine::audioType() const {
    // Published by the audio engine's start before its first packet, while
    // running() turns true only once the mixer has connected: a file opened
    // in between still gets its audio track.
    return audioEngine_->outputType();
}

void Engine::setSourceName(std::string name) {
    sourceName_ = name;
    namer_.setSource(std::move(name));
}

void Engine::setError(std::string text) {
    std::lock_guard rec(recLock_);
    error_ = std::move(text);
}

void Engine::setLastClip(std::string path) {
    std::lock_guard rec(recLock_);
    lastClip_ = std::move(path);
}

void Engine::runDetached(std::function<void()> job) {
    {
        std::lock_guard lock(jobsMutex_);
        ++jobs_;
    }
    auto body = [this, job = std::move(job)]() mutable {
        nameThisThread("krel-job");
        try {
            job();
        } catch (...) {
            // Jobs report their own failures; nothing may escape a thread.
        }
        job = nullptr; // release what the job holds before the engine may go
        std::lock_guard lock(jobsMutex_);
        --jobs_;
        jobsDone_.notify_all();
    };
    try {
        std::thread(std::move(body)).detach();
    } catch (...) {
        std::lock_guard lock(jobsMutex_);
        --jobs_;
        throw;
    }
}

void Engine::onSourceClosed(uint64_t generation) {
    // On the capture's own thread, which the stop below joins: hand the stop
    // to a thread of its own and take no lock here.
    runDetached([this, generation] {
        std::lock_guard lock(lock_);
        if (generation != generation_ || !capture_) return; // a newer source runs by now
        logLine("Quelle geschlossen – Aufnahme pausiert bis zum nächsten Spiel/Fenster");
        stopPipeline();
    });
}

EngineStatus Engine::status() {
    std::lock_guard lock(lock_);
    EngineStatus st;
    st.replayActive = replay_.enabled() && encoder_;
    {
        std::lock_guard rec(recLock_);
        st.recording = recWriter_ || recArmed_;
        st.paused = recWriter_ && recPaused_;
        if (recWriter_) st.recordHns = (recPaused_ ? recPausedAt_ : nowHns()) - recStart_ - recPausedTotal_;
        st.lastClip = lastClip_;
        st.lastRecording = lastRecording_;
        st.error = error_;
    }
    st.micMuted = audioEngine_->micMuted();
    st.source = sourceName_;
    st.mode = modeLabel(settings_.mode);
    if (capture_) std::tie(st.srcW, st.srcH) = capture_->latestSize();
    st.fps = settings_.fps;
    if (encoder_) {
        st.outW = outWidth_;
        st.outH = outHeight_;
        st.encoder = d3d_->gpu.encoderName + " · " + codecLabel(codecInUse_);
        st.dropped = encoder_->dropped();
    }
    struct statvfs vfs{};
    if (::statvfs(clipDirectory(settings_).c_str(), &vfs) == 0) st.freeBytes = uint64_t{vfs.f_bavail} * vfs.f_frsize;
    st.replaySeconds = static_cast<double>(replay_.durationHns()) / 1e7;
    st.replayBytes = static_cast<uint64_t>(replay_.byteCount());
    st.gamePeak = audioEngine_->takeGamePeak();
    st.micPeak = audioEngine_->takeMicPeak();
    return st;
}

} // namespace krel
