#pragma once
// The one audio format inside the program: 48 000 frames per second, two
// interleaved channels (left, right). Sources deliver 32-bit floats; the mixer
// hands signed 16-bit samples to the AAC encoder.

#include <cstdint>

namespace krel {

inline constexpr int64_t kAudioRate = 48'000; // frames per second
inline constexpr int kAudioChannels = 2;      // interleaved L, R
inline constexpr int64_t kAudioHnsPerSecond = 10'000'000;

// 100-ns time of `frames` frames, truncated. Every audio time stamp is built
// from a frame count through this one function, so rounding never drifts.
constexpr int64_t framesToHns(int64_t frames) {
    return frames * kAudioHnsPerSecond / kAudioRate;
}

} // namespace krel
