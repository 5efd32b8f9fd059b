#include "core/clock.h"

#include <ctime>

namespace krel {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

int64_t monotonicTicks() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

} // namespace

int64_t nowHns() {
    // Function-local static: initialised exactly once, thread-safe.
    static const int64_t start = monotonicTicks();
    return ticksToHns(monotonicTicks() - start, kNanosPerSecond);
}

} // namespace krel
