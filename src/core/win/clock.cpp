#include "core/clock.h"

#include "core/win/sdk/high_resolution_timer.h"

#include <windows.h>

namespace krel {
namespace {

struct Counter {
    int64_t frequency;
    int64_t start;
};

int64_t counterNow() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

const Counter& counter() {
    // Frequency and start are read once, under the thread-safe
    // initialisation of a function-local static.
    static const Counter c = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return Counter{frequency.QuadPart, counterNow()};
    }();
    return c;
}

// The clock starts when the program loads, not at its first reading: the
// audio encoder's first packet is stamped its priming time before the
// block it encodes, which must not fall before zero and be dropped.
[[maybe_unused]] const Counter& gStartedAtLoad = counter();

} // namespace

int64_t nowHns() {
    const Counter& c = counter(); // first, so the first call reads 0 or more
    return ticksToHns(counterNow() - c.start, c.frequency);
}

void sleepUntilHns(int64_t hns) {
    // One waitable timer per thread, made at its first wait: frame pacing
    // waits every frame and must not make a kernel object each time. A
    // high-resolution timer where the system has one (Windows 10 1803 and
    // later), else the classic one. Both take an absolute time only in
    // system time, so the wait is relative and repeated until the clock has
    // reached the deadline.
    struct Timer {
        HANDLE handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                               TIMER_ALL_ACCESS);
        Timer() {
            if (!handle) handle = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        }
        ~Timer() {
            if (handle) CloseHandle(handle);
        }
    };
    thread_local const Timer timer;
    for (int64_t left = hns - nowHns(); left > 0; left = hns - nowHns()) {
        LARGE_INTEGER due{};
        due.QuadPart = -left; // negative: relative, in 100-ns units
        if (timer.handle && SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE))
            WaitForSingleObject(timer.handle, INFINITE);
        else
            Sleep(static_cast<DWORD>((left + 9'999) / 10'000));
    }
}

} // namespace krel
