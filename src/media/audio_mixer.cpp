#include "media/audio_mixer.h"

#include "media/audio_format.h"

#include <algorithm>
#include <cmath>

namespace krel {

int64_t dueFrames(int64_t elapsedHns) {
    return (elapsedHns - kMixDelayHns) * kAudioRate / kAudioHnsPerSecond;
}

int64_t framesToTake(int64_t need, bool systemLive, int64_t systemFrames, bool micLive, int64_t micFrames) {
    int64_t n = need;
    if (systemLive) n = std::min(n, systemFrames);
    if (micLive) n = std::min(n, micFrames);
    if (n < need && need - n < kWaitLimitFrames) return n;
    return need;
}

int16_t toPcm16(float sample) {
    const float clamped = std::clamp(sample, -1.0f, 1.0f);
    // lrint follows the current rounding mode, round-to-nearest-even.
    return static_cast<int16_t>(std::lrint(clamped * 32767.0f));
}

MixPeaks mixFrames(SampleQueue& system, SampleQueue& mic, int64_t count, const MixLevels& levels,
                   int16_t* out) {
    const bool systemAhead = static_cast<int64_t>(system.frames()) > kWaitLimitFrames;
    const bool micAhead = static_cast<int64_t>(mic.frames()) > kWaitLimitFrames;
    const float m = levels.micMuted ? 0.0f : levels.micVolume;
    const float g = levels.gameVolume;
    MixPeaks peaks;
    for (int64_t i = 0; i < count; ++i) {
        float gL, gR, mL, mR;
        system.pop(gL, gR); // silence once a queue runs dry
        mic.pop(mL, mR);
        if (i % kDriftInterval == kDriftInterval - 1) {
            if (systemAhead) system.dropFrame();
            if (micAhead) mic.dropFrame();
        }
        if (levels.micMuted) mL = mR = 0.0f;
        peaks.game = std::max({peaks.game, std::fabs(gL), std::fabs(gR)});
        if (levels.micMono) mL = mR = (mL + mR) * 0.5f;
        peaks.mic = std::max({peaks.mic, std::fabs(mL), std::fabs(mR)});
        out[2 * i] = toPcm16(mL * m + g * gL);
        out[2 * i + 1] = toPcm16(mR * m + g * gR);
    }
    return peaks;
}

int64_t alignToClock(SampleQueue& queue, int64_t nextHns) {
    if (!queue.timed()) return 0;
    const int64_t ahead = (queue.frontHns() - nextHns) * kAudioRate / kAudioHnsPerSecond;
    if (ahead > kAlignToleranceFrames) {
        queue.padFront(static_cast<size_t>(ahead));
        return ahead;
    }
    if (ahead < -kAlignToleranceFrames) {
        const auto drop = static_cast<int64_t>(std::min(static_cast<size_t>(-ahead), queue.frames()));
        queue.dropFront(static_cast<size_t>(drop));
        return -drop;
    }
    return 0;
}

MixBlock AudioMixer::pass(int64_t now, MixSource system, MixSource mic, const MixLevels& levels,
                          std::vector<int16_t>& pcm) {
    MixBlock block;
    const int64_t due = dueFrames(now - startHns_);
    if (produced_ >= due) return block;
    const int64_t need = due - produced_;
    const int64_t nextHns = startHns_ + framesToHns(produced_);
    if (system.timed) alignToClock(*system.queue, nextHns);
    if (mic.timed) alignToClock(*mic.queue, nextHns);
    const int64_t count = framesToTake(need, system.live, static_cast<int64_t>(system.queue->frames()),
                                       mic.live, static_cast<int64_t>(mic.queue->frames()));
    if (count == 0) return block;

    pcm.resize(static_cast<size_t>(count) * 2);
    block.peaks = mixFrames(*system.queue, *mic.queue, count, levels, pcm.data());
    block.frames = count;
    block.timeHns = startHns_ + framesToHns(produced_);
    block.durationHns = framesToHns(count);
    produced_ += count;
    return block;
}

} // namespace krel
