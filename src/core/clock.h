#pragma once
#include <cstdint>

namespace krel {

// The process-wide monotonic clock in 100-ns units, counted from the first
// call in the process. Every packet time, the frame pacing and the recording
// clock use it, so audio and video times compare directly.
int64_t nowHns();

// Sleeps until nowHns() reaches `hns` (at once when it has); an absolute
// deadline, so pacing does not drift with the time spent between waits.
void sleepUntilHns(int64_t hns);

// Converts a tick count of a clock running at `frequency` ticks per second to
// 100-ns units without overflow for any non-negative tick count.
constexpr int64_t ticksToHns(int64_t ticks, int64_t frequency) {
    return (ticks / frequency) * 10'000'000 + ((ticks % frequency) * 10'000'000) / frequency;
}

} // namespace krel
