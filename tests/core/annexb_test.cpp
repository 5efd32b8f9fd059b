#include "core/annexb.h"
#include "core/mp4_writer.h"

#include "test_media.h"

#include <gtest/gtest.h>

namespace krel {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(AnnexB, SplitsUnitsAtBothStartCodeLengths) {
    const Bytes p = {0xFF, 0xEE, 0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x65, 4, 5, 0, 0};
    const auto units = splitNalUnits(p);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), (Bytes{0x67, 1, 2}));
    EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), (Bytes{0x68, 3}));
    EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), (Bytes{0x65, 4, 5}));
    // Empty units between start codes, no start code at all, truncated input.
    EXPECT_EQ(splitNalUnits(Bytes{0, 0, 1, 0, 0, 1, 0x41}).size(), 1u);
    EXPECT_TRUE(splitNalUnits(Bytes{0x67, 1, 2, 3}).empty());
    EXPECT_TRUE(splitNalUnits(Bytes{0, 0}).empty());
    EXPECT_TRUE(splitNalUnits(Bytes{}).empty());
}

TEST(SinkVideoType, H264ParameterSetsFromKeyFrame) {
    const Bytes key = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0, 0, 1, 0x65, 0x88, 0x84};
    StreamDescription enc;
    enc.codec = Codec::H264;
    const auto t = makeSinkVideoType(enc, key);
    EXPECT_EQ(t.extradata, (Bytes{0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1F, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80}));
}

TEST(SinkVideoType, HevcTakesVpsSpsPpsOnly) {
    // NAL header first byte = type << 1: VPS 32 -> 0x40, SPS 33 -> 0x42,
    // PPS 34 -> 0x44, IDR_W_RADL 19 -> 0x26, SEI 39 -> 0x4E.
    const Bytes key = {0, 0, 0, 1, 0x40, 1, 0xA, 0, 0, 0, 1, 0x42, 1, 0xB, 0, 0, 0, 1, 0x44, 1, 0xC,
                       0, 0, 0, 1, 0x4E, 1, 0xD, 0, 0, 1, 0x26, 1, 0xE};
    StreamDescription enc;
    enc.codec = Codec::Hevc;
    EXPECT_EQ(makeSinkVideoType(enc, key).extradata,
              (Bytes{0, 0, 0, 1, 0x40, 1, 0xA, 0, 0, 0, 1, 0x42, 1, 0xB, 0, 0, 0, 1, 0x44, 1, 0xC}));
    // The same bytes read with the H.264 rule: 0x67/0x68 are absent, and
    // 0x26 & 0x1F = 6 (SEI), so nothing qualifies.
    enc.codec = Codec::H264;
    EXPECT_TRUE(makeSinkVideoType(enc, key).extradata.empty());
}

TEST(SinkVideoType, ExistingConfigurationUnchanged) {
    StreamDescription enc;
    enc.codec = Codec::H264;
    enc.extradata = {1, 2, 3};
    const Bytes key = {0, 0, 0, 1, 0x67, 9, 0, 0, 0, 1, 0x68, 9};
    EXPECT_EQ(makeSinkVideoType(enc, key).extradata, (Bytes{1, 2, 3}));
}

TEST(SinkVideoType, RealX264KeyFrame) {
    test::MediaOptions o;
    o.seconds = 0.1;
    o.audio = false;
    const auto media = test::encodeTestMedia(o);
    ASSERT_TRUE(media.videoPackets.front()->keyframe);
    const auto t = makeSinkVideoType(media.video, media.videoPackets.front()->data);
    const auto units = splitNalUnits(t.extradata);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0][0] & 0x1F, 7);
    EXPECT_EQ(units[1][0] & 0x1F, 8);
    // The same parameter sets as the encoder reports out of band.
    o.globalHeader = true;
    const auto global = test::encodeTestMedia(o);
    const auto globalUnits = splitNalUnits(global.video.extradata);
    ASSERT_EQ(globalUnits.size(), 2u);
    EXPECT_TRUE(std::equal(units[0].begin(), units[0].end(), globalUnits[0].begin(), globalUnits[0].end()));
}

} // namespace
} // namespace krel
