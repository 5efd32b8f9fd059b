#pragma once
// The arithmetic of the audio mixer, free of threads and devices.
//
// The mixer runs 100 ms behind the clock: every pass it works out how many
// frames are due since mixing began, takes that many from the two source
// queues (waiting a little for a live source that is merely late), mixes them
// with the volumes into signed 16-bit PCM and stamps the block from the frame
// count, so the time stamps advance by exactly 1/48 000 s per frame whatever
// the sources do. The caller (the mixer thread of AudioEngine) holds the
// source lock around pass(), which touches the queues.

#include "media/sample_queue.h"

#include <cstdint>
#include <vector>

namespace krel {

// The mix runs this far behind the clock (100-ns units).
inline constexpr int64_t kMixDelayHns = 1'000'000;
// A live source that lacks less than this many frames (300 ms) is waited for;
// a queue above it at the start of a pass loses one frame in kDriftInterval.
inline constexpr int64_t kWaitLimitFrames = 14'400;
inline constexpr int64_t kDriftInterval = 200;
// A source is live when it delivered data less than this long ago.
inline constexpr int64_t kLiveHns = 3'000'000;
// A source whose oldest frame was captured further than this from the time
// of the next output frame is moved back into place (5 ms).
inline constexpr int64_t kAlignToleranceFrames = 240;

// Frames due at `elapsedHns` after mixing began, truncated; negative during
// the first 100 ms.
int64_t dueFrames(int64_t elapsedHns);

// Frames to take this pass: `need` when no live source is short, or when a
// live source lacks kWaitLimitFrames or more (the rest becomes silence);
// otherwise only what every live source holds, so a late source is waited for.
int64_t framesToTake(int64_t need, bool systemLive, int64_t systemFrames, bool micLive, int64_t micFrames);

// Clamps to [-1, 1], scales by 32 767 and rounds to nearest, ties to even.
int16_t toPcm16(float sample);

// Values read once per pass from the engine's atomics.
struct MixLevels {
    bool micMuted = false;
    bool micMono = true;
    float gameVolume = 1.0f;
    float micVolume = 1.0f;
};

struct MixPeaks {
    float game = 0.0f; // highest |sample| of the system audio, before the volume
    float mic = 0.0f;  // likewise of the microphone, after mute and mono
};

// Mixes `count` frames from the two queues into `out` (2 × count samples),
// removing them; a queue that runs dry contributes silence. A queue that held
// more than kWaitLimitFrames frames when the pass began loses one extra frame
// after every kDriftInterval output frames.
MixPeaks mixFrames(SampleQueue& system, SampleQueue& mic, int64_t count, const MixLevels& levels,
                   int16_t* out);

// Puts a source's frames at their capture times: when the oldest queued frame
// was captured more than kAlignToleranceFrames after `nextHns` (the time the
// next output frame is stamped with), silence fills the difference; when it
// was captured that much before, the frames in between are dropped. A fresh
// or re-opened source thus starts at the right place, and a device clock that
// drifts from nowHns() is corrected in steps of at most a few milliseconds.
// Answers the frames padded (positive) or dropped (negative).
int64_t alignToClock(SampleQueue& queue, int64_t nextHns);

// One mixed block, ready for the AAC encoder.
struct MixBlock {
    int64_t frames = 0;  // 0: nothing due or nothing to take
    int64_t timeHns = 0; // time of the first frame
    int64_t durationHns = 0;
    MixPeaks peaks;
};

// One source as the mixer sees it in a pass.
struct MixSource {
    SampleQueue* queue;
    bool live;          // enabled, active and delivered data within kLiveHns
    bool timed = false; // aligned by its capture times (alignToClock)
};

class AudioMixer {
public:
    explicit AudioMixer(int64_t startHns) : startHns_(startHns) {}

    // One pass at clock value `now`: aligns the timed sources, mixes the
    // frames that are due into `pcm` (resized to 2 × frames; its capacity is
    // reused) and counts them as produced.
    MixBlock pass(int64_t now, MixSource system, MixSource mic, const MixLevels& levels,
                  std::vector<int16_t>& pcm);

    int64_t startHns() const { return startHns_; }
    int64_t produced() const { return produced_; }

private:
    int64_t startHns_;
    int64_t produced_ = 0;
};

} // namespace krel
