#pragma once
// Annex-B byte streams: NAL units separated by 00 00 01 / 00 00 00 01 start
// codes, as the H.264 and HEVC encoders emit them.

#include <cstdint>
#include <span>
#include <vector>

namespace krel {

// Splits an Annex-B payload into its NAL units: each unit runs from after a
// start code to the next start code (or the end), without trailing zero
// bytes; bytes before the first start code are ignored; empty units skipped.
std::vector<std::span<const uint8_t>> splitNalUnits(std::span<const uint8_t> payload);

// The parameter-set units of a key-frame payload (H.264 SPS/PPS, or HEVC
// VPS/SPS/PPS when `hevc`), each after a 00 00 00 01 start code, in payload
// order. Empty when there are none.
std::vector<uint8_t> extractParameterSets(std::span<const uint8_t> payload, bool hevc);

} // namespace krel
