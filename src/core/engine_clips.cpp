// Saving a replay clip: checks, name reservation, snapshot, and the write on
// a thread of its own.

#include "core/engine.h"

#include "config/log.h"
#include "config/utf8_path.h"
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
    // Once the source has gone (the game closed or crashed), the replay it
    // left behind is still saved.
    if (!encoder_ && !replay_.holdsVideo()) return done({}, kNoSource);
    if (!replay_.enabled()) return done({}, kReplayOff);
    const auto audio = audioType();
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

    uint64_t generation = 0;
    auto snapshot = restart ? replay_.snapshotAndClear(window, &generation) : replay_.snapshot(window, &generation);
    lock.lock();
    // The emptied buffer starts with a fresh GOP at once.
    if (restart && encoder_) encoder_->requestKeyFrame();
    // The snapshot holds one pipeline's video; it is written as that
    // pipeline's stream.
    const auto videoType = snapshot.empty() ? std::nullopt : videoTypeOf(generation);
    if (!videoType || (restart && nothingNew(snapshot))) {
        namer_.release(path);
        return done({}, restart ? kNothingNew : kNothingYet);
    }
    lock.unlock();

    runDetached([this, snapshot = std::move(snapshot), video = *videoType, audio, path, done = std::move(done)] {
        bool written = true;
        std::string error;
        try {
            writeReplayClip(path, snapshot, video, audio);
        } catch (const std::exception& e) {
            written = false;
            error = e.what();
        }
        {
            std::lock_guard engine(lock_);
            if (written) setLastClip(utf8FromPath(path));
            namer_.release(path);
        }
        if (!written) {
            logLine(fmt::format("Clip fehlgeschlagen: {}", error));
            done({}, error);
            return;
        }
        logLine(fmt::format("Clip gespeichert: {}", utf8FromPath(path)));
        // Outside any try: a callback that throws is not reported again as
        // a failed clip.
        done(path, {});
    });
}

} // namespace krel
