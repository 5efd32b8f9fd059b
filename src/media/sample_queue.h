#pragma once
// The queue of captured samples of one audio source, and its liveness time.
//
// Two floats per frame (left, right), oldest first. After every append the
// queue holds at most kMaxQueueFloats (2 s of audio); older frames are dropped
// so that memory stays bounded when the mixer falls behind. Not locked
// itself: the owner (CaptureStream) guards it with the shared source lock.

#include <cstddef>
#include <cstdint>
#include <deque>

namespace krel {

inline constexpr size_t kMaxQueueFloats = 192'000; // 2 s of 48 kHz stereo

struct SampleQueue {
    std::deque<float> samples;
    // nowHns() when a read delivered at least one frame; 0 before that.
    int64_t lastData = 0;

    size_t frames() const { return samples.size() / 2; }

    // Appends `frames` frames; `data` null means a silent packet (that many
    // frames of zeros). A packet of at least one frame sets lastData to `now`.
    void append(const float* data, size_t frames, int64_t now);
    void clear();
};

} // namespace krel
