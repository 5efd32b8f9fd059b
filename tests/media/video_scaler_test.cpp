// The CPU scaler: BT.709 limited-range values, every placement mode with
// black exactly outside the picture, scaling, and the round trip through
// the real encoder and decoder.

#include "media/video_encoder.h"
#include "media/video_scaler.h"

#include "core/hr_error.h"
#include "video_test_support.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>

namespace krel {
namespace {

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

FramePtr nv12Frame(int w, int h) {
    FramePtr f(av_frame_alloc());
    f->format = AV_PIX_FMT_NV12;
    f->width = w;
    f->height = h;
    EXPECT_EQ(av_frame_get_buffer(f.get(), 64), 0);
    return f;
}

uint8_t y(const AVFrame* f, int x, int row) { return f->data[0][row * f->linesize[0] + x]; }
uint8_t cb(const AVFrame* f, int x, int row) { return f->data[1][(row / 2) * f->linesize[1] + (x / 2) * 2]; }
uint8_t cr(const AVFrame* f, int x, int row) { return f->data[1][(row / 2) * f->linesize[1] + (x / 2) * 2 + 1]; }

bool isBlack(const AVFrame* f, int x, int row) { return y(f, x, row) == 16 && cb(f, x, row) == 128 && cr(f, x, row) == 128; }

D3D softwareRecord() {
    D3D d;
    d.gpu = *softwareEncoderInfo();
    return d;
}

TEST(VideoScaler, Bt709LimitedRangeValues) {
    auto eq = [](Yuv a, Yuv b) { return a.y == b.y && a.cb == b.cb && a.cr == b.cr; };
    EXPECT_TRUE(eq(rgbToYuv709(0, 0, 0), {16, 128, 128}));
    EXPECT_TRUE(eq(rgbToYuv709(255, 255, 255), {235, 128, 128}));
    EXPECT_TRUE(eq(rgbToYuv709(255, 0, 0), {63, 102, 240}));
    EXPECT_TRUE(eq(rgbToYuv709(0, 255, 0), {173, 42, 26}));
    EXPECT_TRUE(eq(rgbToYuv709(0, 0, 255), {32, 240, 118}));
    EXPECT_TRUE(eq(rgbToYuv709(128, 128, 128), {126, 128, 128}));
}

// Every pixel of random pictures, through the vector rows and their scalar
// tails alike (widths that are no multiple of 16).
TEST(VideoScaler, EveryPixelMatchesTheReferenceConversion) {
    std::mt19937 rng(1);
    for (uint32_t w : {70u, 256u, 18u}) {
        const uint32_t h = 6;
        test::Picture perPixel = test::solidPicture(w, h, 0, 0, 0);
        for (auto& b : perPixel.pixels) b = static_cast<uint8_t>(rng());
        test::Picture perBlock = test::solidPicture(w, h, 0, 0, 0);
        for (uint32_t by = 0; by < h; by += 2)
            for (uint32_t bx = 0; bx < w; bx += 2)
                perBlock.fill(bx, by, bx + 2, by + 2, static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                              static_cast<uint8_t>(rng()));
        auto frame = nv12Frame(static_cast<int>(w), static_cast<int>(h));
        const Nv12Planes planes{frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1], w, h};
        const Placement whole{{0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h)},
                              {0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h)}};
        Nv12Converter conv;
        conv.convert(perPixel.image(), whole, planes);
        for (uint32_t row = 0; row < h; ++row)
            for (uint32_t x = 0; x < w; ++x) {
                const uint8_t* p = &perPixel.pixels[(row * w + x) * 4];
                ASSERT_EQ(y(frame.get(), static_cast<int>(x), static_cast<int>(row)), rgbToYuv709(p[2], p[1], p[0]).y)
                    << w << " " << x << "," << row;
            }
        conv.convert(perBlock.image(), whole, planes);
        for (uint32_t row = 0; row < h; row += 2)
            for (uint32_t x = 0; x < w; x += 2) {
                const uint8_t* p = &perBlock.pixels[(row * w + x) * 4];
                const Yuv want = rgbToYuv709(p[2], p[1], p[0]);
                ASSERT_EQ(cb(frame.get(), static_cast<int>(x), static_cast<int>(row)), want.cb) << w << " " << x;
                ASSERT_EQ(cr(frame.get(), static_cast<int>(x), static_cast<int>(row)), want.cr) << w << " " << x;
            }
    }
}

class ScalerModes : public ::testing::Test {
protected:
    D3D d3d_ = softwareRecord();
};

TEST_F(ScalerModes, FitPutsBlackBarsExactlyOutsideThePicture) {
    // 4:3 into 16:9 at a small size: 480x360 into 640x360 -> bars of 80.
    VideoScaler scaler(d3d_, 640, 360, 60);
    scaler.scaleMode = kScaleFit;
    auto frame = nv12Frame(640, 360);
    std::memset(frame->data[0], 99, static_cast<size_t>(frame->linesize[0]) * 360); // stale content from an earlier frame
    const auto pic = test::solidPicture(480, 360, 0, 255, 0);
    scaler.process(pic.image(), frame.get());
    EXPECT_EQ(scaler.lastPlacement().destination, (Rect{80, 0, 560, 360}));
    const Yuv green = rgbToYuv709(0, 255, 0);
    for (int row : {0, 1, 179, 358, 359}) {
        EXPECT_TRUE(isBlack(frame.get(), 0, row));
        EXPECT_TRUE(isBlack(frame.get(), 79, row));
        EXPECT_EQ(y(frame.get(), 80, row), green.y);
        EXPECT_EQ(cb(frame.get(), 80, row), green.cb);
        EXPECT_EQ(cr(frame.get(), 80, row), green.cr);
        EXPECT_EQ(y(frame.get(), 559, row), green.y);
        EXPECT_TRUE(isBlack(frame.get(), 560, row));
        EXPECT_TRUE(isBlack(frame.get(), 639, row));
    }
}

TEST_F(ScalerModes, OddMarginsKeepLumaExactAndBlendChromaOfTheBoundary) {
    // 2560x1080 into 1920x1080: picture rows 135..944.
    VideoScaler scaler(d3d_, 1920, 1080, 60);
    scaler.scaleMode = kScaleFit;
    auto frame = nv12Frame(1920, 1080);
    const auto pic = test::solidPicture(2560, 1080, 255, 255, 255);
    scaler.process(pic.image(), frame.get());
    EXPECT_EQ(scaler.lastPlacement().destination, (Rect{0, 135, 1920, 945}));
    EXPECT_EQ(y(frame.get(), 960, 134), 16);
    EXPECT_EQ(y(frame.get(), 960, 135), 235);
    EXPECT_EQ(y(frame.get(), 960, 944), 235);
    EXPECT_EQ(y(frame.get(), 960, 945), 16);
    EXPECT_EQ(cb(frame.get(), 960, 134), 128); // white and black share a neutral chroma
    const auto red = test::solidPicture(2560, 1080, 255, 0, 0);
    scaler.process(red.image(), frame.get());
    const Yuv r = rgbToYuv709(255, 0, 0);
    // Rows 134/135 share one chroma row: half black, half red.
    EXPECT_EQ(cr(frame.get(), 960, 134), (128 + r.cr + 1) / 2);
    EXPECT_EQ(cr(frame.get(), 960, 136), r.cr);
    EXPECT_EQ(cr(frame.get(), 960, 132), 128);
}

TEST_F(ScalerModes, CropShowsTheCentre) {
    // Left and right thirds blue, centre red; 300x100 cropped into 100x100.
    VideoScaler scaler(d3d_, 100, 100, 30);
    scaler.scaleMode = kScaleCrop;
    auto frame = nv12Frame(100, 100);
    auto pic = test::solidPicture(300, 100, 0, 0, 255);
    pic.fill(100, 0, 200, 100, 255, 0, 0);
    scaler.process(pic.image(), frame.get());
    EXPECT_EQ(scaler.lastPlacement().source, (Rect{100, 0, 200, 100}));
    const Yuv red = rgbToYuv709(255, 0, 0);
    for (int x : {0, 50, 99})
        for (int row : {0, 99}) {
            EXPECT_EQ(y(frame.get(), x, row), red.y);
            EXPECT_EQ(cr(frame.get(), x, row), red.cr);
        }
}

TEST_F(ScalerModes, StretchFillsTheWholeFrameAndOriginalPlacesLikeFit) {
    VideoScaler scaler(d3d_, 192, 108, 30);
    auto frame = nv12Frame(192, 108);
    const auto pic = test::solidPicture(128, 102, 40, 80, 160);
    const Yuv want = rgbToYuv709(40, 80, 160);
    scaler.scaleMode = kScaleStretch;
    scaler.process(pic.image(), frame.get());
    for (int x : {0, 95, 191})
        for (int row : {0, 54, 107}) EXPECT_NEAR(y(frame.get(), x, row), want.y, 1);
    scaler.scaleMode = kScaleOriginal;
    scaler.process(pic.image(), frame.get());
    EXPECT_TRUE(isBlack(frame.get(), 0, 50));
    EXPECT_EQ(scaler.lastPlacement(), computePlacement(128, 102, 192, 108, kScaleFit));
}

TEST_F(ScalerModes, DownscaleKeepsGradientsAndEdges) {
    // Horizontal ramp 0..255 over 2560 columns, scaled to 1920x1080.
    test::Picture pic = test::solidPicture(2560, 1440, 0, 0, 0);
    for (uint32_t x = 0; x < 2560; ++x) {
        const auto v = static_cast<uint8_t>(x * 255 / 2559);
        pic.fill(x, 0, x + 1, 1440, v, v, v);
    }
    VideoScaler scaler(d3d_, 1920, 1080, 60);
    scaler.scaleMode = kScaleFit;
    auto frame = nv12Frame(1920, 1080);
    scaler.process(pic.image(), frame.get());
    EXPECT_EQ(scaler.lastPlacement().destination, (Rect{0, 0, 1920, 1080}));
    for (int x : {0, 480, 960, 1440, 1919}) {
        const double grey = (x + 0.5) * 2560.0 / 1920.0 * 255.0 / 2559.0;
        const Yuv want = rgbToYuv709(static_cast<uint8_t>(std::min(255.0, grey)), static_cast<uint8_t>(std::min(255.0, grey)),
                                     static_cast<uint8_t>(std::min(255.0, grey)));
        EXPECT_NEAR(y(frame.get(), x, 540), want.y, 2) << x;
    }
    // A changed source size is handled by the same scaler.
    const auto small = test::solidPicture(3, 5, 255, 255, 255);
    scaler.scaleMode = kScaleStretch;
    scaler.process(small.image(), frame.get());
    EXPECT_EQ(y(frame.get(), 0, 0), 235);
    EXPECT_EQ(y(frame.get(), 1919, 1079), 235);
}

TEST_F(ScalerModes, RejectsFramesOfAnotherSize) {
    VideoScaler scaler(d3d_, 64, 64, 30);
    auto frame = nv12Frame(128, 64);
    const auto pic = test::solidPicture(64, 64, 1, 2, 3);
    EXPECT_THROW(scaler.process(pic.image(), frame.get()), HrError);
    EXPECT_THROW(scaler.process(pic.image(), nullptr), HrError);
}

TEST_F(ScalerModes, EmptySourceGivesABlackFrame) {
    VideoScaler scaler(d3d_, 64, 64, 30);
    auto frame = nv12Frame(64, 64);
    scaler.process(BgraImage{}, frame.get());
    EXPECT_TRUE(isBlack(frame.get(), 0, 0));
    EXPECT_TRUE(isBlack(frame.get(), 63, 63));
}

TEST_F(ScalerModes, EncodedLetterboxDecodesWithBlackBarsAndBt709) {
    const auto pic = test::solidPicture(360, 360, 230, 200, 20); // square: bars of 140
    const auto packets = test::encodeFitted(d3d_, 6, 4000, [&](VideoScaler& scaler, AVFrame* f) {
        scaler.process(pic.image(), f);
        return true;
    });
    const auto decoded = test::decodeH264(packets);
    ASSERT_EQ(decoded.frames.size(), 6u);
    const AVFrame* f = decoded.frames.back().get();
    EXPECT_EQ(f->colorspace, AVCOL_SPC_BT709);
    EXPECT_EQ(f->color_range, AVCOL_RANGE_MPEG);
    const Yuv want = rgbToYuv709(230, 200, 20);
    for (int row : {4, 180, 355}) {
        EXPECT_NEAR(test::lumaAt(f, 60, row), 16, 2);
        EXPECT_NEAR(test::lumaAt(f, 580, row), 16, 2);
        EXPECT_NEAR(test::cbAt(f, 60, row), 128, 2);
        EXPECT_NEAR(test::lumaAt(f, 320, row), want.y, 3);
        EXPECT_NEAR(test::cbAt(f, 320, row), want.cb, 3);
        EXPECT_NEAR(test::crAt(f, 320, row), want.cr, 3);
    }
    // The bar edge: last black column 139, first picture column 140 (blurred a little by coding).
    EXPECT_LT(test::lumaAt(f, 136, 180), 24);
    EXPECT_GT(test::lumaAt(f, 143, 180), want.y - 12);
}

} // namespace
} // namespace krel
