// Manual recording: armed until the first video key frame, then written live
// into a fragmented MP4 under its final name, with paused stretches cut out
// of the time line.

#include "core/engine.h"

#include "config/log.h"
#include "config/utf8_path.h"
#include "core/clock.h"
#include "media/audio_engine.h"
#include "media/video_encoder.h"

#include <fmt/format.h>

namespace krel {

void Engine::startRecording() {
    std::lock_guard rec(recLock_);
    if (recWriter_ || recArmed_) return;
    recArmed_ = true;
    recPaused_ = false;
    recPausedTotal_ = 0;
    if (recEncoder_) recEncoder_->requestKeyFrame();
}

void Engine::togglePause() {
    std::lock_guard rec(recLock_);
    if (!recWriter_) return;
    if (!recPaused_) {
        recPaused_ = true;
        recPausedAt_ = nowHns();
    } else {
        recPausedTotal_ += nowHns() - recPausedAt_;
        recPaused_ = false;
        recNeedKey_ = true;
        if (recEncoder_) recEncoder_->requestKeyFrame();
    }
}

void Engine::stopRecording() {
    std::lock_guard rec(recLock_);
    recArmed_ = false;
    if (!recWriter_) return;
    try {
        recWriter_->finalize();
    } catch (const std::exception& e) {
        error_ = e.what();
    }
    lastClip_ = utf8FromPath(recWriter_->path());
    lastRecording_ = lastClip_;
    logLine(fmt::format("Aufnahme gespeichert: {}", lastClip_));
    recWriter_.reset();
    recPaused_ = false;
    recNeedKey_ = false;
}

void Engine::recordPacket(const PacketPtr& packet) {
    // recLock_ is held.
    if ((!recWriter_ && !recArmed_) || recPaused_) return;
    const bool video = packet->stream == kVideoStream;
    if (recArmed_) {
        if (!video || !packet->keyframe) return;
        const auto videoType = recEncoder_ ? recEncoder_->outputType() : std::nullopt;
        if (!videoType) return; // stays armed for the next pipeline's key frame
        const auto audioType = this->audioType();
        try {
            const StreamDescription sinkType = makeSinkVideoType(*videoType, packet->data);
            const auto path = namer_.makeClipPath("Aufnahme");
            recWriter_.reset();
            recWriter_ = std::make_unique<Mp4Writer>(path, sinkType, audioType, true);
        } catch (const std::exception& e) {
            error_ = e.what();
            recArmed_ = false;
            return;
        }
        recBasePts_ = packet->pts;
        recStart_ = nowHns();
        recArmed_ = false;
        recNeedKey_ = false;
    }
    if (video && recNeedKey_) {
        if (!packet->keyframe) return;
        recNeedKey_ = false;
    }
    const int64_t base = recBasePts_ + recPausedTotal_;
    if (packet->pts < base) return;
    try {
        recWriter_->writeSample(*packet, base);
    } catch (const std::exception& e) {
        logLine(fmt::format("Aufnahme schreiben: {}", e.what()));
    }
}

} // namespace krel
