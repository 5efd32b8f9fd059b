#pragma once
// Real encoded media for the tests and benchmarks: a moving synthetic
// picture through libx264 (Annex-B, parameter sets in every key frame, no
// B-frames) and a 48 kHz stereo tone through libavcodec's AAC encoder, as
// Packets on the nowHns time scale; and read-back helpers that check written
// files with libavformat/libavcodec and with the ffprobe program.

#include "core/packet.h"
#include "core/stream_description.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace krel::test {

struct MediaOptions {
    int width = 320;
    int height = 240;
    int fps = 60;
    int gopFrames = 120;        // key frame every 2 s at 60 fps
    double seconds = 4.0;
    int64_t startHns = 50'000'000; // first video pts
    int64_t audioLeadHns = 0;   // audio starts this much before the video
    int64_t videoBitRate = 0;   // 0: constant quality
    bool audio = true;
    bool globalHeader = false;  // parameter sets out of band (extradata)
};

struct EncodedMedia {
    StreamDescription video;
    StreamDescription audio;
    std::vector<PacketPtr> videoPackets;
    std::vector<PacketPtr> audioPackets;
};

EncodedMedia encodeTestMedia(const MediaOptions& options);

// Video and audio packets merged by pts (the order two live producers would
// roughly deliver them in).
std::vector<PacketPtr> interleaved(const EncodedMedia& media);

struct StreamReadBack {
    std::string codec;       // "h264", "aac", ...
    int width = 0, height = 0;
    int packets = 0;
    int decodedFrames = 0;   // video: frames that decoded without error
    int decodeErrors = 0;
    double firstPts = 0;     // seconds
    double lastEnd = 0;      // seconds, pts + duration of the last packet
    bool firstIsKey = false;
    double minPts = 0;       // seconds
};

struct FileReadBack {
    std::vector<StreamReadBack> streams;
    double durationSeconds = 0;
    const StreamReadBack* video() const;
    const StreamReadBack* audio() const;
};

// Reads every packet of the file with libavformat and decodes the video.
FileReadBack readBack(const std::filesystem::path& path);

// Runs `ffprobe -show_streams -show_format -count_packets -of json`.
nlohmann::json ffprobe(const std::filesystem::path& path);

} // namespace krel::test
