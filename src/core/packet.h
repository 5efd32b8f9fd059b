#pragma once
// One encoded access unit, as an encoder emitted it.
//
// Packets are immutable once delivered and travel as shared pointers to const
// between the encoders, the engine's packet sink, the replay buffer, clip jobs
// and a running recording: nothing ever copies a payload. The last reference
// frees it.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace krel {

struct Packet {
    int64_t pts = 0;       // presentation time, 100-ns units on nowHns()
    int64_t duration = 0;  // 100-ns units
    bool keyframe = false; // clean point; for video an IDR frame
    int32_t stream = 0;    // 0 video, 1 audio
    // Compressed payload; H.264/HEVC video is an Annex-B byte stream.
    std::vector<uint8_t> data;
};

using PacketPtr = std::shared_ptr<const Packet>;

// Where an encoder delivers its packets (the engine's packet sink); called on
// the encoder's own thread.
using PacketSink = std::function<void(PacketPtr)>;

inline constexpr int32_t kVideoStream = 0;
inline constexpr int32_t kAudioStream = 1;

} // namespace krel
