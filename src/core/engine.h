#pragma once
// The recording core's single object: it owns the capture pipeline (device
// record, capture, scaler, video encoder, pacing thread), the audio engine,
// the replay buffer, the manual recording and its own copy of the settings.
// The rest of the program touches any of them only through it.
//
// Threads and locks. Public operations run on the controlling thread (the
// main thread) and take `lock_`, which is recursive because they call each
// other. Outermost first: lock_ -> recLock_ -> the replay buffer's lock; the
// clip namer's lock is innermost and taken alone. The packet sink onPacket
// runs on the video encoder's and the audio mixer's threads and never takes
// lock_, so encoders never wait for the main thread. The pacing thread reads
// the pipeline objects without a lock; every path that replaces them stops
// and joins it first. Clip jobs and the source-closed handler run on threads
// of their own; the destructor waits for them.

#include "config/settings.h"
#include "core/clip_naming.h"
#include "core/mp4_writer.h"
#include "core/packet.h"
#include "core/replay_buffer.h"
#include "core/stream_description.h"
#include "core/window_system.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace krel {

struct D3D;
class Capture;
class VideoScaler;
class VideoEncoder;
class AudioEngine;

struct EngineStatus {
    bool replayActive = false;
    bool recording = false;
    bool paused = false;
    int64_t recordHns = 0;
    bool micMuted = false;
    std::string source;
    std::string mode; // "Nur Spiel", "Bildschirm", "Fenster"
    uint32_t srcW = 0, srcH = 0;
    uint32_t outW = 0, outH = 0;
    uint32_t fps = 0;
    std::string encoder; // e.g. "Software (x264) · H.264"; empty without encoder
    std::string lastClip;
    // The last recording file that was closed ("" when none yet): tells a
    // written recording from one that ended armed or failed to open.
    std::string lastRecording;
    uint64_t freeBytes = 0;
    double replaySeconds = 0;
    uint64_t replayBytes = 0;
    uint64_t dropped = 0;
    float gamePeak = 0, micPeak = 0;
    std::string error;
};

// Called exactly once per saveClip: (path, "") on success, ("", message) on
// refusal or failure.
using ClipDone = std::function<void(const std::filesystem::path& path, const std::string& error)>;

class Engine {
public:
    // Settings defaults, replay on, replay limits 60 s / 1500 MiB; creates
    // the audio engine. Captures nothing yet. `windows` answers the desktop
    // questions; null means the platform's own, opened on first use.
    explicit Engine(std::unique_ptr<WindowSystem> windows = nullptr);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void setSettings(const Settings& s);
    void start();
    void stop();
    void onForegroundChanged(WindowId window);
    void saveClip(ClipDone done);
    void setReplayEnabled(bool on);
    void setMicMuted(bool muted);
    void startRecording();
    void stopRecording();
    void togglePause();
    EngineStatus status();

    // The desktop as the engine sees it (for a foreground watcher).
    WindowSystem& windows();

private:
    void startOn(std::optional<WindowId> window, std::optional<MonitorInfo> monitor);
    void buildPipeline(uint32_t width, uint32_t height, const MonitorInfo& monitor);
    void encodeLoop();
    void stopPipeline();
    void onPacket(PacketPtr packet, uint64_t generation);
    void keepVideoType(uint64_t generation, const StreamDescription& type);
    std::optional<StreamDescription> videoTypeOf(uint64_t generation);
    std::optional<StreamDescription> audioType() const;
    void recordPacket(const PacketPtr& packet);
    void finishRecording(bool log);
    void onSourceClosed(uint64_t generation);
    void runDetached(std::function<void()> job);
    void setSourceName(std::string name);
    void setError(std::string text);
    void setLastClip(std::string path);

    Settings settings_;
    std::recursive_mutex lock_;
    std::unique_ptr<WindowSystem> windows_;
    std::unique_ptr<D3D> d3d_;
    std::unique_ptr<Capture> capture_;
    std::unique_ptr<VideoScaler> scaler_;
    std::unique_ptr<VideoEncoder> encoder_;
    std::unique_ptr<AudioEngine> audioEngine_;
    ReplayBuffer replay_;
    std::thread pacer_;
    std::atomic<bool> stop_{false};
    std::optional<WindowId> sourceWindow_;
    std::string sourceName_;
    uint32_t outWidth_ = 0, outHeight_ = 0;
    int32_t codecInUse_ = 0;
    // Counts pipeline starts, so a late source-closed notice of an earlier
    // capture does not stop the current one.
    uint64_t generation_ = 0;
    // Between start and stop: an idle engine (no source found yet) starts
    // again when settings that choose the source change.
    bool started_ = false;
    // Stream descriptions of the latest pipelines, by generation, so that
    // replay kept from a stopped pipeline can still be saved.
    std::map<uint64_t, StreamDescription> videoTypes_;

    // Manual recording, guarded by recLock_.
    std::mutex recLock_;
    std::unique_ptr<Mp4Writer> recWriter_;
    bool recArmed_ = false;
    bool recPaused_ = false;
    int64_t recBasePts_ = 0;
    int64_t recPausedAt_ = 0;
    int64_t recPausedTotal_ = 0;
    int64_t recStart_ = 0;
    // After a resume, video waits for the requested key frame so that the
    // file never holds frames whose references were cut out with the pause.
    bool recNeedKey_ = false;
    // The running pipeline's encoder, for key-frame requests and its output
    // type; set and cleared under recLock_ while the pipeline is built and
    // stopped, so the recording never reaches a destroyed encoder.
    VideoEncoder* recEncoder_ = nullptr;
    // Written by the recording step on packet threads as well as under
    // lock_, so they are guarded by recLock_ (taken inside lock_).
    std::string lastClip_;
    std::string lastRecording_;
    std::string error_;
    ClipNamer namer_;

    // Detached jobs (clip writers, the source-closed handler) still running.
    std::mutex jobsMutex_;
    std::condition_variable jobsDone_;
    int jobs_ = 0;
};

// "Nur Spiel", "Bildschirm" or "Fenster".
const char* modeLabel(CaptureMode mode);
// "H.264", "HEVC" or "AV1".
const char* codecLabel(int32_t codec);
// Output size for a source of w x h on a monitor of mw x mh: by "scale",
// made even and at least 64 x 64.
std::pair<uint32_t, uint32_t> outputSize(const Settings& s, uint32_t w, uint32_t h, uint32_t mw, uint32_t mh);

} // namespace krel
