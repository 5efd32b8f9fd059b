#pragma once
// The platform side of the sound cues (one backend per platform in linux/).
// playCueSamples starts playing cue `cue` (0, 1 or 2) in the background: it is
// called from any thread, returns at once (at most a short lock) and never
// throws; without a sound server it does nothing. `samples` are signed 16-bit
// little-endian mono samples at 48 kHz and must stay valid until the program
// ends (the cue images are never freed), because the backend may read them
// later on its own thread.

#include <cstdint>
#include <span>

namespace krel {

void playCueSamples(int cue, std::span<const uint8_t> samples) noexcept;

} // namespace krel
