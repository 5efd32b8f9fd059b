#pragma once
// The queue of captured samples of one audio source, and its liveness time.
//
// Interleaved stereo frames (left, right), oldest first, in a ring that holds
// at most kMaxQueueFrames (2 s of audio): an append beyond that drops the
// oldest frames, so memory stays bounded when the mixer falls behind. The
// ring is allocated on the first append and never again, so capture and
// mixing allocate nothing per packet. Not locked itself: the owner
// (CaptureStream) guards it with the shared source lock.
//
// Capture times: a source delivers its frames without gaps, so one origin
// (the time of the first frame appended since the queue was cleared) names
// the capture time of every frame. It is estimated from the arrival times:
// a frame cannot arrive before it was captured, so each packet bounds the
// origin from above (arrival minus the frames appended so far) and the
// smallest bound seen is the estimate. The bound of the last kOriginWindowHns
// replaces it at the end of each window, so the estimate follows a device
// clock that runs slow; a packet that comes more than kOriginGapHns later
// than the origin predicts starts a new origin (the source paused). The mixer
// uses frontHns() to put each source's frames at their own time.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krel {

inline constexpr size_t kMaxQueueFrames = 96'000;              // 2 s at 48 kHz
inline constexpr size_t kMaxQueueFloats = 2 * kMaxQueueFrames; // stereo
inline constexpr int64_t kOriginWindowHns = 20'000'000;          // 2 s
inline constexpr int64_t kOriginGapHns = 500'000;                // 50 ms

class SampleQueue {
public:
    // nowHns() when a read delivered at least one frame; 0 before that and
    // after clear().
    int64_t lastData = 0;

    // Frames held, the silence put before them by padFront included.
    size_t frames() const { return count_ + lead_; }

    // Appends `frames` frames; `data` null means a silent packet (that many
    // frames of zeros). `now` is their arrival; it bounds their capture
    // times (see above). A packet of at least one frame sets lastData to
    // `now`.
    void append(const float* data, size_t frames, int64_t now);
    // Removes the oldest frame into (l, r); silence and false when empty.
    bool pop(float& l, float& r);
    // Removes the oldest frame, if any.
    void dropFrame();
    // Empties the queue and forgets its capture times and lastData: what
    // comes next is a new stream.
    void clear();
    // Sample `i` counted from the left sample of the oldest frame.
    float sample(size_t i) const;

    // True once a packet arrived since the last clear(); frontHns() is then
    // the estimated capture time of the oldest frame (of the next frame to
    // arrive when the queue is empty).
    bool timed() const { return timed_; }
    int64_t frontHns() const;
    // Puts `frames` frames of silence before the oldest frame.
    void padFront(size_t frames);
    // Removes up to `frames` of the oldest frames.
    void dropFront(size_t frames);

private:
    void estimateOrigin(size_t frames, int64_t now);
    void removed(size_t dataFrames) { consumed_ += static_cast<int64_t>(dataFrames); }

    std::vector<float> ring_; // kMaxQueueFloats once used
    size_t head_ = 0;         // frame index of the oldest frame in ring_
    size_t count_ = 0;        // frames held
    size_t lead_ = 0;         // frames of silence before the oldest frame

    // Capture times, in frames since the last clear() and in 100 ns.
    bool timed_ = false;
    int64_t appended_ = 0;  // frames appended
    int64_t consumed_ = 0;  // frames appended and removed again
    int64_t origin_ = 0;    // estimated capture time of frame 0
    int64_t windowMin_ = 0; // smallest bound of the current window
    int64_t windowStart_ = 0;
};

} // namespace krel
