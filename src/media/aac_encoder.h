#pragma once
// The AAC encoder of the audio track: libavcodec's native "aac" encoder at
// 48 kHz, stereo, 192 kbit/s, raw access units (no ADTS headers).
//
// PCM blocks of any size go in (signed 16-bit, interleaved, as the mixer
// produces them); access units of 1024 frames come out as Packets of stream 1,
// each a key frame. Packet times are on the nowHns() clock and are derived
// from a running frame count anchored at the first block's time, so they
// never drift from rounding. The encoder's priming delay is part of the
// stamps: the first packet starts 1024 frames before the first block, which
// places the decoded audio exactly at the block times.
//
// One thread uses an encoder at a time; it has no lock. Construction throws
// (HrError naming the failing call, or std::runtime_error "Kein AAC-Encoder"
// when the library has no AAC encoder).

#include "core/packet.h"
#include "core/stream_description.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace krel {

inline constexpr uint32_t kAacBitRate = 192'000;
// The first packet starts this long (1024 frames, rounded up to 100 ns)
// before the first block: a block stamped at least this late on the clock
// never yields a packet before time 0.
inline constexpr int64_t kAacPrimingHns = (int64_t{1024} * 10'000'000 + 48'000 - 1) / 48'000;

class AacEncoder {
public:
    AacEncoder();
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    // Codec Aac, 48 000 Hz, 2 channels, 192 000 bit/s; extradata is the
    // AudioSpecificConfig an MP4 file carries.
    const StreamDescription& outputType() const { return outType_; }

    // Feeds `frames` interleaved stereo frames whose first frame is at
    // `timeHns`, and hands every finished access unit to `sink`. A block
    // whose time does not continue the previous one re-anchors the clock.
    // Throws HrError when libavcodec fails.
    void encode(const int16_t* pcm, size_t frames, int64_t timeHns, const PacketSink& sink);
    // Encodes what is still buffered (a short last frame) and drains the
    // encoder. Later encode calls are ignored.
    void flush(const PacketSink& sink);

private:
    struct CodecFree {
        void operator()(AVCodecContext* c) const;
    };
    struct FrameFree {
        void operator()(AVFrame* f) const;
    };
    struct PacketFree {
        void operator()(AVPacket* p) const;
    };

    void sendFrame(size_t frames, const PacketSink& sink);
    void receivePackets(const PacketSink& sink);
    int64_t hnsAt(int64_t frameIndex) const;

    std::unique_ptr<AVCodecContext, CodecFree> ctx_;
    std::unique_ptr<AVFrame, FrameFree> frame_;
    std::unique_ptr<AVPacket, PacketFree> pkt_;
    StreamDescription outType_;
    size_t frameSize_ = 1024;
    // Planar samples waiting for a full encoder frame (frameSize_ each), the
    // first pending_ of them filled.
    std::vector<float> pendingL_;
    std::vector<float> pendingR_;
    size_t pending_ = 0;
    // Frames handed to the encoder so far (the next frame's pts); the clock
    // anchor maps a frame index to 100 ns.
    int64_t sentFrames_ = 0;
    bool anchored_ = false;
    int64_t anchorHns_ = 0;
    int64_t anchorFrame_ = 0;
    bool flushed_ = false;
};

} // namespace krel
