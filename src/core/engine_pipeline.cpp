// Building the pipeline for a source and pacing frames into the encoder.

#include "core/engine.h"

#include "config/log.h"
#include "core/clock.h"
#include "core/thread_name.h"
#include "media/audio_engine.h"
#include "media/capture.h"
#include "media/gpu_device.h"
#include "media/placement.h"
#include "media/video_encoder.h"
#include "media/video_scaler.h"

#include <fmt/format.h>

#include <sys/resource.h>
#include <unistd.h>

namespace krel {
namespace {

uint32_t evenAtLeast64(uint32_t v) {
    v &= ~1u;
    return v < 64 ? 64 : v;
}

// A frame late by more than this many periods is not caught up: the loop
// resumes at the current time (after a suspend, say) instead of bursting.
constexpr int64_t kMaxCatchUpPeriods = 4;

} // namespace

std::pair<uint32_t, uint32_t> outputSize(const Settings& s, uint32_t w, uint32_t h, uint32_t mw, uint32_t mh) {
    uint32_t ow = w, oh = h;
    switch (s.scale) {
    case ScaleMode::AutoStretchNative:
        ow = mw;
        oh = mh;
        break;
    case ScaleMode::Original: break;
    case ScaleMode::Stretch:
    case ScaleMode::Fit:
    case ScaleMode::Crop:
        if (s.outWidth != 0 && s.outHeight != 0) {
            ow = s.outWidth;
            oh = s.outHeight;
        }
        break;
    }
    return {evenAtLeast64(ow), evenAtLeast64(oh)};
}

void Engine::buildPipeline(uint32_t width, uint32_t height, const MonitorInfo& monitor) {
    std::lock_guard lock(lock_);
    std::tie(outWidth_, outHeight_) = outputSize(settings_, width, height, monitor.width, monitor.height);

    EncoderConfig cfg;
    cfg.width = static_cast<int32_t>(outWidth_);
    cfg.height = static_cast<int32_t>(outHeight_);
    cfg.fps = static_cast<int32_t>(settings_.fps);
    cfg.codec = static_cast<int32_t>(settings_.codec);
    cfg.rate = static_cast<int32_t>(settings_.rate);
    cfg.bitrateKbps = static_cast<int32_t>(settings_.bitrateKbps);
    cfg.qualityPreset = static_cast<int32_t>(settings_.qualityPreset);
    if ((settings_.codec == VideoCodec::Hevc && !d3d_->gpu.hevc) || (settings_.codec == VideoCodec::Av1 && !d3d_->gpu.av1)) {
        setError("Codec wird von dieser Grafikkarte nicht unterstützt – H.264 wird verwendet");
        cfg.codec = 0;
    }

    scaler_ = std::make_unique<VideoScaler>(*d3d_, outWidth_, outHeight_, settings_.fps);
    const auto scale = static_cast<uint32_t>(settings_.scale);
    scaler_->scaleMode = scale == kScaleOriginal ? kScaleFit : scale;
    encoder_.reset();
    encoder_ = std::make_unique<VideoEncoder>(*d3d_, cfg, [this, generation = generation_](PacketPtr p) {
        onPacket(std::move(p), generation);
    });
    codecInUse_ = cfg.codec;
    {
        std::lock_guard rec(recLock_);
        recEncoder_ = encoder_.get();
    }
    if (!audioEngine_->running()) audioEngine_->start(settings_);

    stop_.exchange(false);
    pacer_ = std::thread([this] { encodeLoop(); });
    logLine(fmt::format("Pipeline: Quelle {}x{} → Ausgabe {}x{} @{} fps", width, height, outWidth_, outHeight_,
                        settings_.fps));
}

void Engine::encodeLoop() {
    nameThisThread("krel-pace");
    // Above normal priority where the system allows it; ignored otherwise.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -5);

    // The loop only reads what buildPipeline set up before starting it, and
    // the pipeline is torn down only after this thread was joined.
    VideoEncoder* encoder = encoder_.get();
    Capture* capture = capture_.get();
    VideoScaler* scaler = scaler_.get();
    const int64_t period = kHnsPerSecond / static_cast<int64_t>(encoder->config().fps);

    int64_t next = nowHns();
    int64_t lastStamp = INT64_MIN;
    while (!stop_.load()) {
        next += period;
        const int64_t now = nowHns();
        if (next > now) {
            sleepUntilHns(next);
        } else if (now - next > kMaxCatchUpPeriods * period) {
            next = now;
        }
        AVFrame* slot = encoder->acquireSlot();
        if (!slot) continue; // all busy: counted as dropped by the encoder
        bool rendered = false;
        // A frame carries the instant its picture was grabbed, so that it
        // lines up with the sound captured at that instant; a picture shown
        // again (nothing new arrived) is stamped with the present.
        int64_t stamp = 0;
        try {
            rendered = capture->withLatest([&](const BgraImage& picture) {
                stamp = picture.capturedHns;
                scaler->process(picture, slot);
            });
        } catch (const std::exception& e) {
            logLine(fmt::format("Skalierung: {}", e.what()));
            rendered = false;
        }
        if (rendered) {
            if (stamp <= lastStamp || stamp == 0) stamp = nowHns();
            lastStamp = stamp;
            encoder->submit(slot, stamp);
        } else {
            encoder->releaseSlot(slot);
        }
    }
}

} // namespace krel
