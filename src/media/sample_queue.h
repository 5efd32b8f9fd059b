#pragma once
// The queue of captured samples of one audio source, and its liveness time.
//
// Interleaved stereo frames (left, right), oldest first, in a ring that holds
// at most kMaxQueueFrames (2 s of audio): an append beyond that drops the
// oldest frames, so memory stays bounded when the mixer falls behind. The
// ring is allocated on the first append and never again, so capture and
// mixing allocate nothing per packet. Not locked itself: the owner
// (CaptureStream) guards it with the shared source lock.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krel {

inline constexpr size_t kMaxQueueFrames = 96'000;              // 2 s at 48 kHz
inline constexpr size_t kMaxQueueFloats = 2 * kMaxQueueFrames; // stereo

class SampleQueue {
public:
    // nowHns() when a read delivered at least one frame; 0 before that.
    int64_t lastData = 0;

    size_t frames() const { return count_; }

    // Appends `frames` frames; `data` null means a silent packet (that many
    // frames of zeros). A packet of at least one frame sets lastData to `now`.
    void append(const float* data, size_t frames, int64_t now);
    // Removes the oldest frame into (l, r); silence and false when empty.
    bool pop(float& l, float& r);
    // Removes the oldest frame, if any.
    void dropFrame();
    void clear();
    // Sample `i` counted from the left sample of the oldest frame.
    float sample(size_t i) const;

private:
    std::vector<float> ring_; // kMaxQueueFloats once used
    size_t head_ = 0;         // frame index of the oldest frame in ring_
    size_t count_ = 0;        // frames held
};

} // namespace krel
