// Placement arithmetic of the scaler, shared by every backend.

#include "media/placement.h"

#include <gtest/gtest.h>

namespace krel {
namespace {

TEST(Placement, FitWorkedExamples) {
    // 4:3 into 16:9: bars of 240 left and right.
    EXPECT_EQ(computePlacement(1440, 1080, 1920, 1080, kScaleFit),
              (Placement{{0, 0, 1440, 1080}, {240, 0, 1680, 1080}}));
    // 64:27 into 16:9: height 810 (even), margin 135 (odd is fine for the margin).
    EXPECT_EQ(computePlacement(2560, 1080, 1920, 1080, kScaleFit),
              (Placement{{0, 0, 2560, 1080}, {0, 135, 1920, 945}}));
    // Original is placed like fit.
    EXPECT_EQ(computePlacement(2560, 1080, 1920, 1080, kScaleOriginal),
              computePlacement(2560, 1080, 1920, 1080, kScaleFit));
}

TEST(Placement, FitRoundsPictureSizeDownToEven) {
    // 1000x999 into 1920x1080: w = trunc(1080 * 1.001 + 0.5) = 1081 -> 1080.
    const Placement p = computePlacement(1000, 999, 1920, 1080, kScaleFit);
    EXPECT_EQ(p.destination.width() % 2, 0);
    EXPECT_EQ(p.destination, (Rect{420, 0, 1500, 1080}));
    // Tall source: h from the width, rounded to even, centred vertically.
    const Placement q = computePlacement(1000, 3001, 640, 480, kScaleFit);
    EXPECT_EQ(q.destination.height(), 480);
    EXPECT_EQ(q.destination.width() % 2, 0);
    EXPECT_EQ(q.destination.left, (640 - q.destination.width()) / 2);
}

TEST(Placement, FitWithSameAspectCoversWholeFrame) {
    EXPECT_EQ(computePlacement(2560, 1440, 1920, 1080, kScaleFit).destination, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(computePlacement(1920, 1080, 1920, 1080, kScaleFit),
              (Placement{{0, 0, 1920, 1080}, {0, 0, 1920, 1080}}));
}

TEST(Placement, CropWorkedExamples) {
    EXPECT_EQ(computePlacement(2560, 1080, 1920, 1080, kScaleCrop),
              (Placement{{320, 0, 2240, 1080}, {0, 0, 1920, 1080}}));
    // Taller source: the vertical centre; crop sizes are not made even.
    const Placement p = computePlacement(1280, 1024, 1920, 1080, kScaleCrop);
    EXPECT_EQ(p.source, (Rect{0, 152, 1280, 872})); // v = trunc(1280 / 1.777 + 0.5) = 720, o = 152
    EXPECT_EQ(p.destination, (Rect{0, 0, 1920, 1080}));
    const Placement odd = computePlacement(1001, 1000, 500, 500, kScaleCrop);
    EXPECT_EQ(odd.source, (Rect{0, 0, 1000, 1000}));
}

TEST(Placement, StretchAndAutoStretchUseWholeRectangles) {
    for (uint32_t mode : {kScaleStretch, kScaleAutoStretchNative, 7u}) {
        EXPECT_EQ(computePlacement(1280, 1024, 1920, 1080, mode),
                  (Placement{{0, 0, 1280, 1024}, {0, 0, 1920, 1080}}))
            << mode;
    }
}

TEST(Placement, ZeroSizesSkipTheArithmetic) {
    EXPECT_EQ(computePlacement(0, 1080, 1920, 1080, kScaleFit), (Placement{{0, 0, 0, 1080}, {0, 0, 1920, 1080}}));
    EXPECT_EQ(computePlacement(1440, 0, 1920, 1080, kScaleCrop), (Placement{{0, 0, 1440, 0}, {0, 0, 1920, 1080}}));
    EXPECT_EQ(computePlacement(1440, 1080, 0, 1080, kScaleFit), (Placement{{0, 0, 1440, 1080}, {0, 0, 0, 1080}}));
}

TEST(Placement, TinySourcesStayInsideTheFrame) {
    for (uint32_t mode : {kScaleFit, kScaleCrop, kScaleStretch}) {
        const Placement p = computePlacement(1, 1, 64, 64, mode);
        EXPECT_GE(p.destination.left, 0);
        EXPECT_LE(p.destination.right, 64);
        EXPECT_GT(p.source.width(), 0);
        EXPECT_GT(p.source.height(), 0);
        EXPECT_LE(p.source.right, 1);
    }
}

TEST(BarTracker, EverySurfaceIsClearedOnceAfterEachLayoutChange) {
    BarTracker bars;
    const Placement fit = computePlacement(1280, 1024, 1920, 1080, kScaleFit); // bars left and right
    // A pool of three surfaces used round: each is cleared the first time.
    for (uint32_t s : {7u, 8u, 9u}) EXPECT_TRUE(bars.needsClear(s, fit.destination, 1920, 1080));
    for (int round = 0; round < 3; ++round)
        for (uint32_t s : {7u, 8u, 9u}) EXPECT_FALSE(bars.needsClear(s, fit.destination, 1920, 1080));

    // The source changes size: new bars, every surface once more.
    const Placement narrower = computePlacement(1024, 1024, 1920, 1080, kScaleFit);
    ASSERT_NE(narrower.destination, fit.destination);
    EXPECT_TRUE(bars.needsClear(8, narrower.destination, 1920, 1080));
    EXPECT_FALSE(bars.needsClear(8, narrower.destination, 1920, 1080));
    EXPECT_TRUE(bars.needsClear(7, narrower.destination, 1920, 1080));

    // A picture that covers the whole frame leaves no bars to clear; going
    // back to bars after it clears again (the surfaces hold picture there).
    const Placement stretch = computePlacement(1024, 1024, 1920, 1080, kScaleStretch);
    EXPECT_FALSE(bars.needsClear(9, stretch.destination, 1920, 1080));
    EXPECT_TRUE(bars.needsClear(9, narrower.destination, 1920, 1080));

    // A failed clear is tried again.
    bars.forget(9);
    EXPECT_TRUE(bars.needsClear(9, narrower.destination, 1920, 1080));
    // Same rectangle in a larger output: the bars are elsewhere.
    EXPECT_TRUE(bars.needsClear(9, narrower.destination, 2560, 1440));
}

} // namespace
} // namespace krel
