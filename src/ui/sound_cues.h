#pragma once
// Three short synthesised chimes: 0 clip saved, 1 recording started, 2
// recording stopped. Each is a small mono 16-bit 48 kHz WAV image built in
// memory on first use (thread-safe) and kept for the life of the program.
// playCue returns at once; the platform plays the image in the background and
// stays silent, without error, when no sound server runs.

#include <cstdint>
#include <span>
#include <vector>

namespace krel {

struct Note {
    double frequency; // Hz
    double start;     // seconds from the start of the cue
    double duration;  // seconds
};

// The WAV image (44-byte header, then the samples) of the given notes.
std::vector<uint8_t> synthesize(std::span<const Note> notes, double gain);
// The image of cue 0, 1 or 2 (any other number: cue 2), built once.
const std::vector<uint8_t>& cueImage(int cue);
// Starts playing the cue; never blocks, never throws.
void playCue(int cue);

} // namespace krel
