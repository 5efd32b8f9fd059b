#include "core/clock.h"

#include <cerrno>
#include <ctime>

namespace krel {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

int64_t monotonicTicks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

int64_t startTicks() {
    // Function-local static: initialised exactly once, thread-safe.
    static const int64_t start = monotonicTicks();
    return start;
}

// The clock starts when the program loads, not at its first reading: the
// audio encoder's first packet is stamped its priming time before the
// block it encodes, which must not fall before zero and be dropped.
[[maybe_unused]] const int64_t gStartedAtLoad = startTicks();

} // namespace

int64_t nowHns() {
    const int64_t start = startTicks(); // first, so the first call reads 0 or more
    return ticksToHns(monotonicTicks() - start, kNanosPerSecond);
}

void sleepUntilHns(int64_t hns) {
    const int64_t deadline = startTicks() + hns * 100;
    timespec ts{static_cast<time_t>(deadline / kNanosPerSecond), static_cast<long>(deadline % kNanosPerSecond)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

} // namespace krel
