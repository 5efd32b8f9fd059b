#include "core/clock.h"
#include "core/hr_error.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace krel {
namespace {

TEST(Clock, TickConversionIsExactAndOverflowFree) {
    // A 3.579545 MHz counter (a classic performance-counter rate).
    constexpr int64_t f = 3'579'545;
    EXPECT_EQ(ticksToHns(f, f), 10'000'000);
    EXPECT_EQ(ticksToHns(f / 2, f), 4'999'998); // truncated, never rounded up
    // A year of nanosecond ticks: ticks * 10^7 alone would overflow.
    constexpr int64_t year = 365LL * 24 * 3600 * 1'000'000'000LL;
    EXPECT_EQ(ticksToHns(year, 1'000'000'000), 365LL * 24 * 3600 * 10'000'000);
    // The largest tick count still converts without wrapping.
    const int64_t big = ticksToHns(INT64_MAX, 1'000'000'000);
    EXPECT_GT(big, 0);
    EXPECT_EQ(big, INT64_MAX / 100);
}

TEST(Clock, MonotonicFromZeroAcrossThreads) {
    const int64_t first = nowHns();
    EXPECT_GE(first, 0);
    std::vector<std::thread> threads;
    std::atomic<bool> backwards{false};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            int64_t last = nowHns();
            for (int i = 0; i < 10000; ++i) {
                const int64_t now = nowHns();
                if (now < last) backwards = true;
                last = now;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_FALSE(backwards);
    // An absolute-deadline sleep ends at or after its deadline.
    const int64_t deadline = nowHns() + 20'000;
    sleepUntilHns(deadline);
    EXPECT_GE(nowHns(), deadline);
    sleepUntilHns(0); // a deadline in the past returns at once
}

TEST(HrError, MessageCarriesCallAndCodeAsEightHexDigits) {
    const HrError e("w_->WriteSample(stream, s.Get())", 0x80070005);
    EXPECT_STREQ(e.what(), "w_->WriteSample(stream, s.Get()) (0x80070005)");
    EXPECT_EQ(e.code(), 0x80070005u);
    // Negative library results are shown as their 32-bit pattern.
    EXPECT_STREQ(HrError("open(path)", -2).what(), "open(path) (0xFFFFFFFE)");
    EXPECT_STREQ(HrError("x", 0xA).what(), "x (0x0000000A)");
    try {
        checkAv(-5, "avio_write");
        FAIL();
    } catch (const std::runtime_error& err) {
        EXPECT_STREQ(err.what(), "avio_write (0xFFFFFFFB)");
    }
    EXPECT_EQ(checkAv(7, "ok"), 7);
}

} // namespace
} // namespace krel
