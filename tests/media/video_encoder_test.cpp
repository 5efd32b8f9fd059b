// The video encoder against the real software encoder (libx264), decoded
// back with libavcodec.

#include "media/video_encoder.h"
#include "media/video_scaler.h"

#include "core/clock.h"
#include "video_test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <utility>

namespace krel {
namespace {

using test::waitFor;

D3D softwareRecord() {
    D3D d;
    d.gpu = *softwareEncoderInfo();
    d.backend = EncoderBackend::Software;
    return d;
}

struct Collector {
    std::mutex lock;
    std::vector<PacketPtr> packets;
    std::thread::id thread;
    PacketSink sink() {
        return [this](PacketPtr p) {
            std::lock_guard g(lock);
            thread = std::this_thread::get_id();
            packets.push_back(std::move(p));
        };
    }
    size_t size() {
        std::lock_guard g(lock);
        return packets.size();
    }
    std::vector<PacketPtr> take() {
        std::lock_guard g(lock);
        return packets;
    }
};

EncoderConfig smallConfig(int fps = 30) {
    EncoderConfig c;
    c.width = 320;
    c.height = 240;
    c.fps = fps;
    c.rate = 1;
    c.bitrateKbps = 1000;
    return c;
}

// Renders a picture into a free slot and submits it; waits until the encoder
// thread has taken it, so that nothing is dropped.
void submitFrame(VideoEncoder& enc, VideoScaler& scaler, const test::Picture& pic, int64_t pts) {
    AVFrame* f = nullptr;
    ASSERT_TRUE(waitFor([&] { return (f = enc.acquireSlot()) != nullptr; }));
    scaler.process(pic.image(), f);
    enc.submit(f, pts);
    ASSERT_TRUE(waitFor([&] { return enc.pendingCount() == 0; }));
}

class VideoEncoderTest : public ::testing::Test {
protected:
    D3D d3d_ = softwareRecord();
};

TEST_F(VideoEncoderTest, EncodesDecodableAnnexBWithKeyFramesEveryTwoSeconds) {
    Collector out;
    const EncoderConfig cfg = smallConfig(30);
    const auto pic = test::solidPicture(320, 240, 200, 40, 40);
    const int frames = 70;
    std::vector<int64_t> pts;
    {
        VideoEncoder enc(d3d_, cfg, out.sink());
        EXPECT_EQ(enc.name(), "libx264");
        EXPECT_EQ(enc.frameHns(), 333'333);
        VideoScaler scaler(d3d_, 320, 240, 30);
        scaler.scaleMode = kScaleFit;
        const int64_t start = nowHns();
        for (int i = 0; i < frames; ++i) {
            pts.push_back(start + i * enc.frameHns());
            submitFrame(enc, scaler, pic, pts.back());
        }
        EXPECT_EQ(enc.dropped(), 0u);
        // Destruction drains: the frames still inside the encoder come out.
    }
    const auto packets = out.take();
    ASSERT_EQ(packets.size(), static_cast<size_t>(frames));
    EXPECT_NE(out.thread, std::this_thread::get_id()); // packets come from the encoder thread
    for (size_t i = 0; i < packets.size(); ++i) {
        const Packet& p = *packets[i];
        EXPECT_EQ(p.pts, pts[i]) << i; // no B-frames: output in input order with the input times
        EXPECT_EQ(p.duration, 333'333);
        EXPECT_EQ(p.stream, kVideoStream);
        ASSERT_GE(p.data.size(), 4u);
        EXPECT_EQ(p.data[0], 0);
        EXPECT_EQ(p.data[1], 0); // Annex-B start code
        const bool idr = test::hasNalType(p.data, 5);
        EXPECT_EQ(p.keyframe, idr) << i;
        if (p.keyframe) {
            EXPECT_TRUE(test::hasNalType(p.data, 7)) << "SPS in key frame " << i;
            EXPECT_TRUE(test::hasNalType(p.data, 8)) << "PPS in key frame " << i;
        }
    }
    EXPECT_TRUE(packets[0]->keyframe);
    EXPECT_TRUE(packets[60]->keyframe); // 2 x fps
    for (int i = 1; i < 60; ++i) EXPECT_FALSE(packets[i]->keyframe) << i;

    const auto decoded = test::decodeH264(packets);
    EXPECT_EQ(decoded.errors, 0);
    ASSERT_EQ(decoded.frames.size(), static_cast<size_t>(frames));
    const AVFrame* last = decoded.frames.back().get();
    EXPECT_EQ(last->colorspace, AVCOL_SPC_BT709);
    EXPECT_EQ(last->color_primaries, AVCOL_PRI_BT709);
    EXPECT_EQ(last->color_trc, AVCOL_TRC_BT709);
    EXPECT_EQ(last->color_range, AVCOL_RANGE_MPEG);
    const Yuv want = rgbToYuv709(200, 40, 40);
    EXPECT_NEAR(test::lumaAt(last, 160, 120), want.y, 3);
    EXPECT_NEAR(test::cbAt(last, 160, 120), want.cb, 3);
    EXPECT_NEAR(test::crAt(last, 160, 120), want.cr, 3);
}

TEST_F(VideoEncoderTest, OutputTypeDescribesTheStreamOnceKnown) {
    Collector out;
    VideoEncoder enc(d3d_, smallConfig(60), out.sink());
    EXPECT_FALSE(enc.outputType().has_value());
    VideoScaler scaler(d3d_, 320, 240, 60);
    // The encoder may hold a few frames before the first packet comes out.
    for (int i = 0; i < 30 && !enc.outputType(); ++i) {
        submitFrame(enc, scaler, test::solidPicture(64, 64, 10, 200, 10), nowHns());
        waitFor([&] { return enc.outputType().has_value(); }, std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(enc.outputType().has_value());
    const StreamDescription d = *enc.outputType();
    EXPECT_EQ(d.codec, Codec::H264);
    EXPECT_EQ(d.width, 320u);
    EXPECT_EQ(d.height, 240u);
    EXPECT_EQ(d.fpsNum, 60u);
    EXPECT_EQ(d.fpsDen, 1u);
    EXPECT_EQ(d.colorPrimaries, 1);
    EXPECT_EQ(d.colorTransfer, 1);
    EXPECT_EQ(d.colorMatrix, 1);
    EXPECT_FALSE(d.fullRange);
    EXPECT_TRUE(test::hasNalType(d.extradata, 7));
    EXPECT_TRUE(test::hasNalType(d.extradata, 8));
    EXPECT_FALSE(test::hasNalType(d.extradata, 5));
    EXPECT_EQ(enc.frameHns(), 166'666);
}

TEST_F(VideoEncoderTest, RequestedKeyFrameIsForcedOnceEvenWhenAskedTwice) {
    Collector out;
    {
        VideoEncoder enc(d3d_, smallConfig(30), out.sink());
        VideoScaler scaler(d3d_, 320, 240, 30);
        const auto pic = test::solidPicture(320, 240, 90, 90, 200);
        for (int i = 0; i < 12; ++i) {
            if (i == 5) {
                enc.requestKeyFrame();
                enc.requestKeyFrame();
            }
            submitFrame(enc, scaler, pic, 1'000'000 + i * 333'333);
        }
    }
    const auto packets = out.take();
    ASSERT_EQ(packets.size(), 12u);
    std::vector<int> keys;
    for (int i = 0; i < 12; ++i)
        if (packets[static_cast<size_t>(i)]->keyframe) keys.push_back(i);
    EXPECT_EQ(keys, (std::vector<int>{0, 5}));
    EXPECT_TRUE(test::hasNalType(packets[5]->data, 7));
}

TEST_F(VideoEncoderTest, PoolOfEightAndForeignFrames) {
    Collector out;
    VideoEncoder enc(d3d_, smallConfig(), out.sink());
    std::vector<AVFrame*> taken;
    for (int i = 0; i < 8; ++i) {
        AVFrame* f = enc.acquireSlot();
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->width, 320);
        EXPECT_EQ(f->format, AV_PIX_FMT_NV12);
        taken.push_back(f);
    }
    EXPECT_EQ(enc.acquireSlot(), nullptr);
    EXPECT_EQ(enc.acquireSlot(), nullptr);
    EXPECT_EQ(enc.dropped(), 2u);

    // A frame that is not from the pool changes nothing.
    AVFrame* foreign = av_frame_alloc();
    enc.submit(foreign, 5);
    enc.releaseSlot(foreign);
    av_frame_free(&foreign);
    EXPECT_EQ(enc.acquireSlot(), nullptr);
    EXPECT_EQ(enc.dropped(), 3u);

    enc.releaseSlot(taken[3]);
    EXPECT_EQ(enc.acquireSlot(), taken[3]);
    for (AVFrame* f : taken) enc.releaseSlot(f);
    EXPECT_EQ(out.size(), 0u);
}

TEST_F(VideoEncoderTest, BurstKeepsNewestFramesAndCountsTheRest) {
    // 1080p frames submitted back to back: the encoder cannot keep up, so
    // waiting frames beyond three are dropped oldest first.
    Collector out;
    EncoderConfig cfg = smallConfig(60);
    cfg.width = 1920;
    cfg.height = 1080;
    const int submitted = 8;
    uint64_t dropped = 0;
    {
        VideoEncoder enc(d3d_, cfg, out.sink());
        VideoScaler scaler(d3d_, 1920, 1080, 60);
        const auto pic = test::solidPicture(1920, 1080, 30, 30, 30);
        for (int i = 0; i < submitted; ++i) {
            AVFrame* f = enc.acquireSlot();
            if (!f) continue; // all slots in flight: already counted
            scaler.process(pic.image(), f);
            enc.submit(f, 1000 + i);
            EXPECT_LE(enc.pendingCount(), 3u);
        }
        ASSERT_TRUE(waitFor([&] { return enc.pendingCount() == 0; }));
        dropped = enc.dropped();
    }
    const auto packets = out.take();
    EXPECT_EQ(packets.size() + dropped, static_cast<size_t>(submitted));
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.back()->pts, 1000 + submitted - 1); // the newest frame is never the one dropped
    for (size_t i = 1; i < packets.size(); ++i) EXPECT_LT(packets[i - 1]->pts, packets[i]->pts);
}

TEST_F(VideoEncoderTest, EveryRateModeProducesADecodableStream) {
    for (int rate : {0, 1, 2}) {
        for (int preset : {0, 4}) {
            Collector out;
            EncoderConfig cfg = smallConfig(30);
            cfg.rate = rate;
            cfg.qualityPreset = preset;
            {
                VideoEncoder enc(d3d_, cfg, out.sink());
                VideoScaler scaler(d3d_, 320, 240, 30);
                for (int i = 0; i < 5; ++i)
                    submitFrame(enc, scaler, test::solidPicture(320, 240, 0, static_cast<uint8_t>(40 * i), 0), i * 333'333);
            }
            const auto packets = out.take();
            ASSERT_EQ(packets.size(), 5u) << "rate " << rate << " preset " << preset;
            const auto decoded = test::decodeH264(packets);
            EXPECT_EQ(decoded.errors, 0);
            EXPECT_EQ(decoded.frames.size(), 5u);
        }
    }
    EXPECT_NE(test::logText().find("Encoder: libx264 320x240 @30 fps, 1000 kbit/s"), std::string::npos);
}

TEST_F(VideoEncoderTest, CodecsTheRecordCannotServeAreRefused) {
    Collector out;
    EncoderConfig cfg = smallConfig();
    cfg.codec = 1;
    try {
        VideoEncoder enc(d3d_, cfg, out.sink());
        FAIL() << "HEVC on the software record must fail";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Kein Hardware-Encoder für diesen Codec");
    }
    cfg.codec = 7; // unknown values mean H.264
    VideoEncoder enc(d3d_, cfg, out.sink());
    EXPECT_EQ(enc.name(), "libx264");
}

TEST_F(VideoEncoderTest, DestructionWaitsForTheDrainOnlyBriefly) {
    // The best quality step looks ahead, so frames are still inside the
    // encoder when it is destroyed. The first packet of the drain stalls in
    // the sink for three times the wait: destruction gives up, the sink is
    // not called again, and the remaining packets are dropped.
    std::mutex lock;
    int delivered = 0;
    bool stall = false;
    auto sink = [&](PacketPtr) {
        bool stallNow = false;
        {
            std::lock_guard g(lock);
            ++delivered;
            stallNow = std::exchange(stall, false);
        }
        if (stallNow) std::this_thread::sleep_for(std::chrono::milliseconds(3 * kDrainWaitMs));
    };
    EncoderConfig cfg = smallConfig(30);
    cfg.qualityPreset = 4;
    const auto pic = test::solidPicture(320, 240, 20, 140, 40);
    const int frames = 30;
    {
        VideoEncoder enc(d3d_, cfg, sink);
        VideoScaler scaler(d3d_, 320, 240, 30);
        for (int i = 0; i < frames; ++i) submitFrame(enc, scaler, pic, i * enc.frameHns());
        std::lock_guard g(lock);
        ASSERT_LT(delivered, frames - 2) << "the encoder held back too few frames for this test";
        stall = true;
    }
    int afterDestruction = 0;
    {
        std::lock_guard g(lock);
        afterDestruction = delivered;
    }
    EXPECT_LT(afterDestruction, frames);
    // The orphaned drain ends in the background without reaching the sink.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kDrainWaitMs));
    std::lock_guard g(lock);
    EXPECT_EQ(delivered, afterDestruction);
    EXPECT_NE(test::logText().find("leert nicht in 500 ms, abgebrochen"), std::string::npos);
}

TEST(VideoEncoderHardware, EncodesOnTheHardwareRecord) {
    const auto gpus = listGpus();
    if (!chooseGpu(gpus, 0)) GTEST_SKIP() << "no hardware encoder on this machine";
    D3D d3d = createD3D(0);
    Collector out;
    {
        VideoEncoder enc(d3d, smallConfig(30), out.sink());
        VideoScaler scaler(d3d, 320, 240, 30);
        for (int i = 0; i < 10; ++i) submitFrame(enc, scaler, test::solidPicture(320, 240, 200, 40, 40), i * 333'333);
    }
    const auto packets = out.take();
    ASSERT_FALSE(packets.empty());
    EXPECT_TRUE(packets[0]->keyframe);
    EXPECT_TRUE(test::hasNalType(packets[0]->data, 7));
    const auto decoded = test::decodeH264(packets);
    ASSERT_FALSE(decoded.frames.empty());
    const Yuv want = rgbToYuv709(200, 40, 40);
    EXPECT_NEAR(test::lumaAt(decoded.frames.back().get(), 160, 120), want.y, 4);
}

} // namespace
} // namespace krel
