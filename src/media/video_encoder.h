#pragma once
// The video encoder: takes NV12 frames from the engine's pacing thread and
// turns them into H.264/HEVC packets on a thread of its own.
//
// Input frames come from a pool of exactly 8 slots (EncoderQueue): the
// pacing thread takes a free slot with acquireSlot, has the scaler render
// into it, and hands it over with submit, or gives it back with releaseSlot
// when it produced nothing. At most 3 frames wait for the encoder; beyond
// that the oldest is dropped. A slot stays busy until the encoder has let go
// of the frame made from it.
//
// Encoding, output packets and calls of the sink run on the encoder thread,
// never on the pacing thread. Packets are Annex-B with the parameter sets in
// every key frame, times in 100-ns units on nowHns(), a key frame every
// 2 x fps frames, no B-frames. Destruction drains the encoder; packets that
// come out while draining still reach the sink. It waits at most
// kDrainWaitMs for that: a drain that takes longer goes on in the background,
// and its packets are dropped (the sink is never called after destruction).
//
// On Linux the slot frames are AVFrames: NV12 in memory for the software
// and NVENC encoders, VA surfaces for VA-API.

#include "core/packet.h"
#include "core/stream_description.h"
#include "media/gpu_device.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct AVFrame;

namespace krel {

inline constexpr int kDrainWaitMs = 500;

struct EncoderConfig {
    int32_t width = 0;  // even, at least 64
    int32_t height = 0;
    int32_t fps = 60;
    int32_t codec = 0;  // 0 H.264, 1 HEVC, 2 AV1; any other value H.264
    int32_t rate = 1;   // 0 cbr, 1 vbr, 2 cqp
    int32_t bitrateKbps = 25000;
    int32_t qualityPreset = 2; // 0 fastest .. 4 best quality
};


class VideoEncoder {
public:
    // Opens the encoder of the device record's backend for the codec and
    // starts the encoder thread. Throws "Kein Hardware-Encoder für diesen
    // Codec", "Encoder nimmt kein NV12 an" or HrError.
    VideoEncoder(const D3D& d3d, const EncoderConfig& cfg, PacketSink sink);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // A free pool frame, or null when all 8 are busy (counted as dropped).
    AVFrame* acquireSlot();
    // Gives back a frame that received no picture.
    void releaseSlot(AVFrame* frame);
    // Hands a rendered frame over with its time (100-ns units). A frame not
    // from the pool is ignored.
    void submit(AVFrame* frame, int64_t pts);
    // The next frame fed to the encoder becomes a key frame (once).
    void requestKeyFrame();

    // The compressed stream's description, known from the first packet on.
    std::optional<StreamDescription> outputType() const;
    // Frames that never reached the encoder.
    uint64_t dropped() const;
    // Finished frames waiting for the encoder thread (at most 3).
    size_t pendingCount() const;
    // The libavcodec encoder in use, e.g. "libx264".
    const std::string& name() const;
    const EncoderConfig& config() const;
    // Nominal frame duration, 10 000 000 / fps.
    int64_t frameHns() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace krel
