#include "media/encoder_settings.h"

#include "config/log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace krel {
namespace {

// Newer FFmpeg names the profiles AV_PROFILE_*, older only FF_PROFILE_*.
#ifdef AV_PROFILE_H264_HIGH
constexpr int kProfileH264High = AV_PROFILE_H264_HIGH;
constexpr int kProfileHevcMain = AV_PROFILE_HEVC_MAIN;
static_assert(AV_PROFILE_UNKNOWN == kProfileUnknown);
#else
constexpr int kProfileH264High = FF_PROFILE_H264_HIGH;
constexpr int kProfileHevcMain = FF_PROFILE_HEVC_MAIN;
static_assert(FF_PROFILE_UNKNOWN == kProfileUnknown);
#endif

// qualityPreset 0..4 onto x264 presets. The default (2) must keep 1080p60
// real time on two cores next to capture and conversion: with desktop-like
// content ultrafast encodes about 150 fps there, superfast only about 53, so
// the lower three steps use ultrafast and only the two best-quality steps
// trade speed (for smaller sizes or frame rates).
constexpr std::array<const char*, 5> kX264Presets{"ultrafast", "ultrafast", "ultrafast", "superfast", "veryfast"};
constexpr std::array<const char*, 5> kNvencPresets{"p1", "p2", "p4", "p5", "p7"};
// VA-API quality level: 1 best .. 7 fastest (driver range).
constexpr std::array<int, 5> kVaapiQuality{7, 6, 4, 3, 1};

} // namespace

std::string EncoderSettings::option(const std::string& key) const {
    for (const auto& [k, v] : options)
        if (k == key) return v;
    return {};
}

Codec codecOf(int32_t index) {
    switch (index) {
    case 1: return Codec::Hevc;
    case 2: return Codec::Av1;
    default: return Codec::H264;
    }
}

std::string encoderNameFor(EncoderBackend backend, Codec codec) {
    const char* base = codec == Codec::Hevc ? "hevc" : codec == Codec::Av1 ? "av1" : "h264";
    switch (backend) {
    case EncoderBackend::Vaapi: return fmt::format("{}_vaapi", base);
    case EncoderBackend::Nvenc: return fmt::format("{}_nvenc", base);
    default: return codec == Codec::H264 ? "libx264" : "";
    }
}

EncoderSettings encoderSettings(EncoderBackend backend, Codec codec, const EncoderConfig& cfg) {
    EncoderSettings s;
    const int preset = std::clamp(cfg.qualityPreset, 0, 4);
    const int64_t bitRate = static_cast<int64_t>(cfg.bitrateKbps) * 1000;
    const bool cqp = cfg.rate == 2;
    s.width = cfg.width;
    s.height = cfg.height;
    s.fps = cfg.fps;
    s.gopSize = cfg.fps * 2;
    if (!cqp) {
        s.bitRate = bitRate;
        s.maxRate = cfg.rate == 0 ? bitRate : bitRate * 3 / 2;
        s.bufferSize = static_cast<int>(std::min<int64_t>(s.maxRate, INT32_MAX));
        if (cfg.rate == 0) s.minRate = bitRate;
    }
    const char* rc = cfg.rate == 0 ? "cbr" : cfg.rate == 1 ? "vbr" : "cqp";

    switch (backend) {
    case EncoderBackend::Software:
        s.options = {{"preset", kX264Presets[preset]}, {"forced-idr", "1"}};
        if (cqp) s.options.emplace_back("crf", std::to_string(kConstantQuality));
        s.profile = kProfileH264High;
        break;
    case EncoderBackend::Vaapi:
        s.options = {{"rc_mode", cfg.rate == 0 ? "CBR" : cfg.rate == 1 ? "VBR" : "CQP"}};
        if (cqp) s.globalQuality = kConstantQuality;
        s.compressionLevel = kVaapiQuality[preset];
        if (codec == Codec::H264) s.profile = kProfileH264High;
        if (codec == Codec::Hevc) s.profile = kProfileHevcMain;
        break;
    case EncoderBackend::Nvenc:
        s.options = {{"preset", kNvencPresets[preset]}, {"tune", "ll"}, {"zerolatency", "1"}, {"forced-idr", "1"}};
        s.options.emplace_back("rc", cqp ? "constqp" : rc);
        if (cqp) s.options.emplace_back("qp", std::to_string(kConstantQuality));
        if (codec == Codec::H264) s.options.emplace_back("profile", "high");
        if (codec == Codec::Hevc) s.options.emplace_back("profile", "main");
        break;
    }
    return s;
}

void applyEncoderSettings(AVCodecContext* ctx, const EncoderSettings& s) {
    ctx->width = s.width;
    ctx->height = s.height;
    ctx->time_base = {1, s.timeBaseDen};
    ctx->framerate = {s.fps, 1};
    ctx->sample_aspect_ratio = {1, 1};
    ctx->gop_size = s.gopSize;
    ctx->max_b_frames = s.maxBFrames;
    ctx->color_primaries = AVCOL_PRI_BT709;
    ctx->color_trc = AVCOL_TRC_BT709;
    ctx->colorspace = AVCOL_SPC_BT709;
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (s.bitRate > 0) ctx->bit_rate = s.bitRate;
    if (s.maxRate > 0) ctx->rc_max_rate = s.maxRate;
    if (s.minRate > 0) ctx->rc_min_rate = s.minRate;
    if (s.bufferSize > 0) ctx->rc_buffer_size = s.bufferSize;
    if (s.globalQuality > 0) ctx->global_quality = s.globalQuality;
    if (s.compressionLevel >= 0) ctx->compression_level = s.compressionLevel;
    ctx->profile = s.profile;
    for (const auto& [key, value] : s.options) {
        const int r = av_opt_set(ctx->priv_data, key.c_str(), value.c_str(), 0);
        if (r < 0)
            logLine(fmt::format("Encoder: Einstellung {}={} nicht unterstützt (0x{:08X})", key, value,
                                static_cast<uint32_t>(r)));
    }
}

} // namespace krel
