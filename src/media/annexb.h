#pragma once
// Annex-B byte streams (H.264 and HEVC): finding NAL units and the
// parameter sets a decoder needs before a key frame.

#include "core/stream_description.h"

#include <cstdint>
#include <span>
#include <vector>

namespace krel {

// The NAL units of an Annex-B stream, without their start codes.
std::vector<std::span<const uint8_t>> splitNalUnits(std::span<const uint8_t> stream);

// The NAL unit type of a unit (H.264: low 5 bits; HEVC: bits 1..6).
int nalUnitType(Codec codec, std::span<const uint8_t> nal);

// True for SPS/PPS (H.264) and VPS/SPS/PPS (HEVC).
bool isParameterSet(Codec codec, std::span<const uint8_t> nal);

// True when the stream carries every parameter set the codec needs
// (H.264: SPS and PPS; HEVC: VPS, SPS and PPS).
bool hasParameterSets(Codec codec, std::span<const uint8_t> stream);

// The parameter sets of a stream, each after a 00 00 00 01 start code, in
// stream order; empty when there are none.
std::vector<uint8_t> extractParameterSets(Codec codec, std::span<const uint8_t> stream);

} // namespace krel
