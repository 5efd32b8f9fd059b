// The AAC encoder against libavcodec's decoder: what goes in comes back out,
// on a drift-free time grid, with a configuration an MP4 file can carry.

#include "audio_test_support.h"
#include "media/aac_encoder.h"
#include "media/audio_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace krel {
namespace {

std::vector<int16_t> tone(size_t frames, double freq, double amp, size_t startFrame = 0) {
    std::vector<int16_t> pcm(frames * 2);
    for (size_t i = 0; i < frames; ++i) {
        const double v = amp * std::sin(2.0 * M_PI * freq * static_cast<double>(startFrame + i) / 48000.0);
        pcm[2 * i] = static_cast<int16_t>(std::lrint(v * 32767.0));
        pcm[2 * i + 1] = static_cast<int16_t>(std::lrint(-v * 32767.0));
    }
    return pcm;
}

TEST(AacEncoder, OutputTypeCarriesAnAacLcStereo48kConfig) {
    AacEncoder enc;
    const StreamDescription& t = enc.outputType();
    EXPECT_EQ(t.codec, Codec::Aac);
    EXPECT_EQ(t.sampleRate, 48000u);
    EXPECT_EQ(t.channels, 2u);
    EXPECT_EQ(t.bitRate, 192000u);
    ASSERT_GE(t.extradata.size(), 2u);
    // AudioSpecificConfig: object type 2 (LC), frequency index 3 (48 kHz),
    // channel configuration 2.
    EXPECT_EQ(t.extradata[0] >> 3, 2);
    EXPECT_EQ(((t.extradata[0] & 7) << 1) | (t.extradata[1] >> 7), 3);
    EXPECT_EQ((t.extradata[1] >> 3) & 15, 2);
}

TEST(AacEncoder, UnevenBlocksComeBackAsTheSameToneOnAnExactGrid) {
    AacEncoder enc;
    test::PacketLog log;
    const auto sink = [&](const PacketPtr& p) { log.add(p); };
    const int64_t t0 = 123'456'789;
    const size_t blockSizes[] = {480, 333, 1920, 7, 1024, 4096, 480, 1500};
    size_t fed = 0;
    size_t packetsAfterFirstBlock = 0;
    while (fed < 96'000) { // 2 s
        for (size_t n : blockSizes) {
            const auto pcm = tone(n, 440.0, 0.5, fed);
            enc.encode(pcm.data(), n, t0 + framesToHns(static_cast<int64_t>(fed)), sink);
            fed += n;
            if (packetsAfterFirstBlock == 0) packetsAfterFirstBlock = log.packets().size() + 1;
        }
    }
    const size_t beforeFlush = log.packets().size();
    enc.flush(sink);
    auto packets = log.packets();
    EXPECT_GT(packets.size(), beforeFlush); // the tail came out at the flush

    test::expectContinuousAudio(packets);
    // The first packet holds the encoder's priming: the first input frame
    // sits exactly at t0 on the decoded time line.
    EXPECT_EQ(packets[1]->pts, t0);
    EXPECT_EQ(packets[0]->pts, t0 - 213'334);
    // All input is covered.
    const int64_t end = packets.back()->pts + packets.back()->duration;
    EXPECT_GE(end, t0 + framesToHns(static_cast<int64_t>(fed)));

    const test::Pcm pcm = test::decodeAac(enc.outputType(), packets);
    ASSERT_GE(pcm.left.size(), fed);
    const size_t from = pcm.indexAt(t0 + 2'000'000), to = pcm.indexAt(t0 + 18'000'000);
    EXPECT_NEAR(test::zeroCrossingFrequency(pcm.left, from, to), 440.0, 2.0);
    EXPECT_NEAR(test::toneAmplitude(pcm.left, from, to, 440.0), 0.5, 0.02);
    EXPECT_NEAR(test::toneAmplitude(pcm.right, from, to, 440.0), 0.5, 0.02);
    // Phase: the decoded sample at t0 + x is the input sample x.
    const size_t i = pcm.indexAt(t0 + 10'000'000);
    const double expected = 0.5 * std::sin(2.0 * M_PI * 440.0 * 48000.0 / 48000.0);
    EXPECT_NEAR(pcm.left[i], expected, 0.05);
    EXPECT_NEAR(pcm.left[i + 27], 0.5 * std::sin(2.0 * M_PI * 440.0 * (48000.0 + 27) / 48000.0), 0.05);
}

TEST(AacEncoder, ABlockTooShortForAnAccessUnitYieldsNoPacketYet) {
    AacEncoder enc;
    int count = 0;
    const auto sink = [&](const PacketPtr&) { ++count; };
    const auto pcm = tone(1000, 1000.0, 0.3);
    enc.encode(pcm.data(), 1000, 0, sink);
    EXPECT_EQ(count, 0);
    enc.flush(sink);
    EXPECT_GE(count, 1);
    const int after = count;
    enc.encode(pcm.data(), 1000, framesToHns(1000), sink); // ignored after the flush
    EXPECT_EQ(count, after);
}

TEST(AacEncoder, ATimeJumpReanchorsLaterPackets) {
    AacEncoder enc;
    test::PacketLog log;
    const auto sink = [&](const PacketPtr& p) { log.add(p); };
    auto pcm = tone(4096, 440.0, 0.3);
    enc.encode(pcm.data(), 4096, 0, sink);
    const int64_t jump = 50'000'000; // 5 s later
    enc.encode(pcm.data(), 4096, jump, sink);
    enc.encode(pcm.data(), 4096, jump + framesToHns(4096), sink);
    enc.flush(sink);
    const auto packets = log.packets();
    ASSERT_GE(packets.size(), 12u);
    // Frames 8192... (in the third block) belong to the new time line.
    bool found = false;
    for (const auto& p : packets) {
        if (p->pts == jump + framesToHns(8192 - 4096)) found = true;
    }
    EXPECT_TRUE(found);
    // No packet goes backwards.
    for (size_t k = 1; k < packets.size(); ++k)
        EXPECT_GT(packets[k]->pts, packets[k - 1]->pts);
}

TEST(AacEncoder, ABlockAtThePrimingTimeGivesAFirstPacketAtZero) {
    AacEncoder enc;
    std::vector<PacketPtr> packets;
    const std::vector<int16_t> pcm(2 * 4096, 0);
    enc.encode(pcm.data(), 4096, kAacPrimingHns, [&](const PacketPtr& p) { packets.push_back(p); });
    enc.flush([&](const PacketPtr& p) { packets.push_back(p); });
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.front()->pts, 0);
    // One 100-ns step earlier and the first packet would fall before zero.
    AacEncoder early;
    std::vector<PacketPtr> earlyPackets;
    early.encode(pcm.data(), 4096, kAacPrimingHns - 1, [&](const PacketPtr& p) { earlyPackets.push_back(p); });
    ASSERT_FALSE(earlyPackets.empty());
    EXPECT_LT(earlyPackets.front()->pts, 0);
}

} // namespace
} // namespace krel
