#pragma once
// The MP4 file sink: multiplexes packets that are already encoded into an MP4
// file (plain for clips, fragmented for recordings) through libavformat. No
// transcoding: the streams are built from the encoders' own output
// descriptions.
//
// One writer serves one file and is used by one thread at a time (a clip job,
// or the packet threads under the recording lock); it has no lock of its own.

#include "core/packet.h"
#include "core/stream_description.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

struct AVFormatContext;
struct AVPacket;

namespace krel {

class Mp4Writer {
public:
    static constexpr uint32_t kNoStream = 0xFFFFFFFF;

    // Opens `path` and writes the header. Throws HrError naming the failing
    // call. Without an audio description the file has only a video stream
    // and audio packets are ignored.
    Mp4Writer(const std::filesystem::path& path, const StreamDescription& video,
              const std::optional<StreamDescription>& audio, bool fragmented);
    // Finalizes if that has not happened yet, swallowing a failure.
    ~Mp4Writer();

    Mp4Writer(const Mp4Writer&) = delete;
    Mp4Writer& operator=(const Mp4Writer&) = delete;

    // Writes one packet at time pts - baseHns (0 when that is not positive).
    // Ignored after finalize, for an empty payload, and for audio when the
    // file has no audio stream. Throws HrError when the write fails.
    void writeSample(const Packet& packet, int64_t baseHns);
    // Writes the trailer once; a failed finalize is not retried. Throws
    // HrError on failure.
    void finalize();

    const std::filesystem::path& path() const { return path_; }
    bool hasAudio() const { return as_ != kNoStream; }

private:
    struct ContextFree {
        void operator()(AVFormatContext* c) const;
    };
    struct PacketFree {
        void operator()(AVPacket* p) const;
    };

    uint32_t addStream(const StreamDescription& description);

    std::unique_ptr<AVFormatContext, ContextFree> w_;
    uint32_t vs_ = 0;
    uint32_t as_ = kNoStream;
    bool finalized_ = false;
    std::filesystem::path path_;
    bool fragmented_ = false;
    // One packet shell reused for every sample; it only points at payloads.
    std::unique_ptr<AVPacket, PacketFree> pkt_;
    // Last time written per stream, in the stream's time base; the muxer
    // needs strictly increasing times.
    int64_t lastTs_[2] = {INT64_MIN, INT64_MIN};
};

// The video description the file is built from: `encoderType` unchanged when
// it already carries parameter sets, otherwise with the H.264 SPS/PPS (or
// HEVC VPS/SPS/PPS) units of the key-frame payload as its extradata.
StreamDescription makeSinkVideoType(const StreamDescription& encoderType, const std::vector<uint8_t>& keyFrame);

struct ClipProbe {
    int64_t durationHns = 0; // 0 when unknown
    uint32_t width = 0;      // 0 when unknown
    uint32_t height = 0;
};

// Reads duration and picture size of an MP4 file. Throws HrError when the
// file cannot be opened or read.
ClipProbe probeClip(const std::filesystem::path& path);

} // namespace krel
