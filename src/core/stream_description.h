#pragma once
// The portable description of an encoder's compressed output: what the video
// encoder and the audio engine publish as their output type, and what the MP4
// writer builds its streams from.

#include <cstdint>
#include <vector>

namespace krel {

enum class Codec : uint32_t { H264, Hevc, Av1, Aac };

struct StreamDescription {
    Codec codec = Codec::H264;

    // Video.
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fpsNum = 0; // frame rate as a fraction
    uint32_t fpsDen = 1;
    // Colour signalling as ISO/IEC 23091-2 code points (1 = BT.709,
    // 2 = unspecified); range false = limited ("TV") range.
    uint8_t colorPrimaries = 2;
    uint8_t colorTransfer = 2;
    uint8_t colorMatrix = 2;
    bool fullRange = false;

    // Audio.
    uint32_t sampleRate = 0;
    uint32_t channels = 0;

    uint32_t bitRate = 0; // bits per second, 0 when unknown

    // Codec configuration. H.264/HEVC: the parameter sets as an Annex-B byte
    // stream (each unit after 00 00 00 01), empty when the encoder has none
    // out of band. AAC: the AudioSpecificConfig. AV1: the av1C record or
    // empty.
    std::vector<uint8_t> extradata;

    bool isVideo() const { return codec != Codec::Aac; }
};

// Time base of every packet time: 100-ns units on nowHns().
inline constexpr int64_t kHnsPerSecond = 10'000'000;

} // namespace krel
