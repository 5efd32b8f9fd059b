#pragma once
// What a video encoder is told, worked out without opening one: a pure
// function of the encoder family, the codec and the engine's configuration,
// answering the codec-context fields and the encoder's private options. The
// encoder and the adapter probe both apply it, so the probe opens exactly
// the configuration that recording will use.
//
// Rate control: cbr (0) and vbr (1) set the bit rate (vbr may peak at 1.5 x),
// cqp (2) a constant quantiser. A key frame every 2 x fps frames, no
// B-frames, BT.709 limited range. Profiles: H.264 High, HEVC Main; AV1 is left
// to the encoder (its only 8-bit 4:2:0 profile is its default). NVENC takes
// the profile as its "profile" option; it ignores the context's field.

#include "media/gpu_device.h"
#include "media/video_encoder.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct AVCodecContext;

namespace krel {

// The codec context's "no profile chosen" (FFmpeg's AV_PROFILE_UNKNOWN).
inline constexpr int kProfileUnknown = -99;
inline constexpr int kConstantQuality = 23;

struct EncoderSettings {
    int width = 0;
    int height = 0;
    int timeBaseDen = 10'000'000; // time base 1 / timeBaseDen: 100-ns units
    int fps = 60;
    int gopSize = 120;
    int maxBFrames = 0;
    int64_t bitRate = 0; // 0: not set (cqp)
    int64_t maxRate = 0;
    int64_t minRate = 0;
    int bufferSize = 0;
    int globalQuality = 0;     // VA-API cqp quantiser; 0: not set
    int compressionLevel = -1; // VA-API quality level; -1: not set
    int profile = kProfileUnknown;
    // Private options of the encoder, set by name in this order.
    std::vector<std::pair<std::string, std::string>> options;

    // The value of option `key`, "" when it is not set.
    std::string option(const std::string& key) const;
};

// libavcodec's name of the encoder, e.g. "h264_vaapi"; "" when the family
// has no encoder for the codec (the software encoder only does H.264).
std::string encoderNameFor(EncoderBackend backend, Codec codec);
// Codec index of the settings (0 H.264, 1 HEVC, 2 AV1, others H.264).
Codec codecOf(int32_t index);

EncoderSettings encoderSettings(EncoderBackend backend, Codec codec, const EncoderConfig& cfg);

// Writes the settings into a context that is not open yet; an option the
// encoder does not know is logged and skipped.
void applyEncoderSettings(AVCodecContext* ctx, const EncoderSettings& s);

} // namespace krel
