// Saving a replay clip: checks, name reservation, snapshot, and the write on
// a thread of its own.

#include "core/engine.h"

#include "config/log.h"
#include "core/clip_writer.h"
#include "media/audio_engine.h"
#include "media/video_encoder.h"

#include <fmt/format.h>

#include <algorithm>

namespace krel {
namespace {

constexpr const char* kNoSource = "Gerade läuft keine Aufnahme (kein Spiel/Fenster erkannt)";
constexpr const char* kReplayOff = "Videobeweis ist aus";
constexpr const char* kNothingYet = "Videobeweis hat noch nichts aufgenommen";
constexpr const char* kNothingNew = "Seit dem letzten Clip ist noch nichts Neues passiert";

// Less than a second of video since the buffer was last emptied.
bool nothingNew(const std::vector<PacketPtr>& snapshot) {
    int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (const auto& p : snapshot) {
        if (p->stream != kVideoStream) continue;
        lo = std::min(lo, p->pts);
        hi = std::max(hi, p->pts);
    }
    return lo == INT64_MAX || hi - lo < kHnsPerSecond;
}

} // namespace

void Engine::saveClip(ClipDone done) {
    std::unique_lock lock(lock_);
    if (!encoder_) return done({}, kNoSource);
    if (!replayOn_.load()) return done({}, kReplayOff);
    const auto videoType = encoder_->outputType();
    const auto audioType = audioEngine_->running() ? audioEngine_->outputType() : std::nullopt;
    std::filesystem::path path;
    try {
        path = namer_.makeClipPath("Clip");
    } catch (const std::exception& e) {
        lock.unlock();
        return done({}, e.what());
    }
    const bool restart = settings_.replayRestartAfterClip;
    const int64_t window = static_cast<int64_t>(settings_.replaySeconds) * kHnsPerSecond;
    lock.unlock();

    auto snapshot = restart ? replay_.snapshotAndClear(window) : replay_.snapshot(window);
    lock.lock();
    // The emptied buffer starts with a fresh GOP at once.
    if (restart && encoder_) encoder_->requestKeyFrame();
    if (!videoType || snapshot.empty() || (restart && nothingNew(snapshot))) {
        namer_.release(path);
        return done({}, restart ? kNothingNew : kNothingYet);
    }
    lock.unlock();

    runDetached([this, snapshot = std::move(snapshot), video = *videoType, audioType, path, done = std::move(done)] {
        try {
            writeReplayClip(path, snapshot, video, audioType);
            {
                std::lock_guard engine(lock_);
                setLastClip(path.string());
                namer_.release(path);
            }
            logLine(fmt::format("Clip gespeichert: {}", path.string()));
            done(path, {});
        } catch (const std::exception& e) {
            logLine(fmt::format("Clip fehlgeschlagen: {}", e.what()));
            {
                std::lock_guard engine(lock_);
                namer_.release(path);
            }
            done({}, e.what());
        }
    });
}

} // namespace krel
