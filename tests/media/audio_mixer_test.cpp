// The mixer's arithmetic and the queue rules, without threads or a server.

#include "media/audio_engine.h"
#include "media/audio_format.h"
#include "media/audio_mixer.h"
#include "media/microphone_list.h"
#include "media/sample_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace krel {
namespace {

void fill(SampleQueue& q, size_t frames, float l, float r) {
    std::vector<float> v;
    for (size_t i = 0; i < frames; ++i) {
        v.push_back(l);
        v.push_back(r);
    }
    q.append(v.data(), frames, 1);
}

TEST(AudioMixerMath, DueFramesRunHundredMillisecondsBehindAndTruncate) {
    EXPECT_EQ(dueFrames(1'000'000), 0);
    EXPECT_LT(dueFrames(0), 0);
    EXPECT_EQ(dueFrames(1'100'000), 480);     // 10 ms after the delay
    EXPECT_EQ(dueFrames(1'000'000 + 208), 0); // 208 hns < one frame (208.33)
    EXPECT_EQ(dueFrames(1'000'000 + 209), 1);
    EXPECT_EQ(dueFrames(1'000'000 + 36'000'000'000LL), 172'800'000); // one hour
}

TEST(AudioMixerMath, LateLiveSourceIsWaitedForOnlyUpTo300Ms) {
    // Microphone 50 ms (2400 frames) short of what is due: wait for it.
    EXPECT_EQ(framesToTake(4800, true, 4800, true, 2400), 2400);
    // 400 ms short: no longer waited for; the rest becomes silence.
    EXPECT_EQ(framesToTake(24'000, true, 24'000, true, 4800), 24'000);
    // Exactly 300 ms short is not waited for either.
    EXPECT_EQ(framesToTake(14'400, false, 0, true, 0), 14'400);
    EXPECT_EQ(framesToTake(14'400, false, 0, true, 1), 1);
    // A source that is not live never holds the mix back.
    EXPECT_EQ(framesToTake(480, false, 0, false, 0), 480);
    // Both short: the shorter one decides.
    EXPECT_EQ(framesToTake(960, true, 500, true, 700), 500);
}

TEST(AudioMixerMath, Pcm16ClampsAndRoundsToNearest) {
    EXPECT_EQ(toPcm16(1.4f), 32767);
    EXPECT_EQ(toPcm16(-1.5f), -32767);
    EXPECT_EQ(toPcm16(0.0f), 0);
    EXPECT_EQ(toPcm16(0.5f), 16384); // 16383.5
    EXPECT_EQ(toPcm16(-0.5f), -16384);
    EXPECT_EQ(toPcm16(0.25f), 8192); // 8191.75 rounds up, not truncated
    EXPECT_EQ(toPcm16(-0.25f), -8192);
}

TEST(AudioMixerMix, SumIsClampedAndVolumesApply) {
    SampleQueue sys, mic;
    fill(sys, 4, 0.8f, -0.9f);
    fill(mic, 4, 0.6f, -0.6f);
    MixLevels lv;
    lv.micMono = false;
    std::vector<int16_t> out(8);
    const MixPeaks peaks = mixFrames(sys, mic, 4, lv, out.data());
    EXPECT_EQ(out[0], 32767);  // 0.8 + 0.6 clamped
    EXPECT_EQ(out[1], -32767); // -1.5 clamped
    EXPECT_FLOAT_EQ(peaks.game, 0.9f);
    EXPECT_FLOAT_EQ(peaks.mic, 0.6f);
    EXPECT_EQ(sys.frames(), 0u);
    EXPECT_EQ(mic.frames(), 0u);

    fill(sys, 2, 0.3f, -0.7f);
    lv.gameVolume = 2.0f;
    mixFrames(sys, mic, 2, lv, out.data());
    EXPECT_EQ(out[0], toPcm16(0.6f)); // doubled
    EXPECT_EQ(out[1], -32767);        // -1.4 clamped

    fill(sys, 1, 0.4f, 0.4f);
    fill(mic, 1, 0.4f, 0.4f);
    lv.gameVolume = 0.5f;
    lv.micVolume = 0.25f;
    mixFrames(sys, mic, 1, lv, out.data());
    EXPECT_EQ(out[0], toPcm16(0.4f * 0.25f + 0.5f * 0.4f));
}

TEST(AudioMixerMix, MonoHalvesALeftOnlyMicrophoneOnBothChannels) {
    SampleQueue sys, mic;
    fill(mic, 3, 0.5f, 0.0f);
    MixLevels lv; // mono is the default
    std::vector<int16_t> out(6);
    const MixPeaks peaks = mixFrames(sys, mic, 3, lv, out.data());
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(out[i], toPcm16(0.25f));
    EXPECT_FLOAT_EQ(peaks.mic, 0.25f);
    EXPECT_FLOAT_EQ(peaks.game, 0.0f);
}

TEST(AudioMixerMix, MutedMicrophoneIsConsumedButSilentWithZeroPeak) {
    SampleQueue sys, mic;
    fill(sys, 10, 0.1f, 0.1f);
    fill(mic, 10, 0.9f, 0.9f);
    MixLevels lv;
    lv.micMuted = true;
    std::vector<int16_t> out(20);
    const MixPeaks peaks = mixFrames(sys, mic, 10, lv, out.data());
    EXPECT_EQ(peaks.mic, 0.0f);
    EXPECT_FLOAT_EQ(peaks.game, 0.1f);
    EXPECT_EQ(mic.frames(), 0u); // the stream keeps running and is drained
    for (int16_t s : out)
        EXPECT_EQ(s, toPcm16(0.1f));
}

TEST(AudioMixerMix, SourceAheadLosesOneFrameIn200UntilBelow300Ms) {
    SampleQueue sys, mic;
    // Every frame carries its index, so dropped frames show in the output.
    std::vector<float> v;
    for (int i = 0; i < 24'000; ++i) { // 500 ms
        v.push_back(static_cast<float>(i) / 32767.0f);
        v.push_back(0.0f);
    }
    sys.append(v.data(), 24'000, 1);
    MixLevels lv;
    std::vector<int16_t> out(2 * 1000);
    mixFrames(sys, mic, 1000, lv, out.data());
    EXPECT_EQ(sys.frames(), 24'000u - 1000u - 5u);
    EXPECT_EQ(out[2 * 199], 199);
    EXPECT_EQ(out[2 * 200], 201); // frame 200 was dropped after output frame 199
    EXPECT_EQ(out[2 * 999], 1003);

    // A queue at or below 14 400 frames when the pass begins is left alone.
    SampleQueue small;
    fill(small, 14'400, 0.1f, 0.1f);
    mixFrames(small, mic, 1000, lv, out.data());
    EXPECT_EQ(small.frames(), 13'400u);
}

TEST(AudioMixerPass, SilenceWithoutSourcesAdvancesExactlyByDueFrames) {
    SampleQueue sys, mic;
    AudioMixer mixer(5'000'000);
    std::vector<int16_t> pcm;
    int64_t expectedTime = 5'000'000;
    int64_t now = 5'000'000;
    int64_t total = 0;
    // Irregular pass times, as a loaded system would wake the mixer.
    const int64_t steps[] = {1'000'000, 100'003, 99'999, 350'017, 1, 100'000, 7, 2'000'011};
    for (int64_t step : steps) {
        now += step;
        const MixBlock b = mixer.pass(now, {&sys, false}, {&mic, false}, MixLevels{}, pcm);
        if (b.frames == 0) continue;
        EXPECT_EQ(b.timeHns, expectedTime);
        EXPECT_EQ(b.durationHns, framesToHns(b.frames));
        for (int16_t s : pcm)
            EXPECT_EQ(s, 0);
        total += b.frames;
        expectedTime = 5'000'000 + framesToHns(total);
    }
    EXPECT_EQ(total, dueFrames(now - 5'000'000));
    EXPECT_EQ(mixer.produced(), total);
}

TEST(AudioMixerPass, LateMicrophoneHoldsTheMixFor50MsButNotFor400Ms) {
    SampleQueue sys, mic;
    AudioMixer mixer(0);
    std::vector<int16_t> pcm;
    // 200 ms after start: 100 ms (4800 frames) are due.
    fill(sys, 4800, 0.2f, 0.2f);
    fill(mic, 2400, 0.1f, 0.1f); // 50 ms late
    MixBlock b = mixer.pass(2'000'000, {&sys, true}, {&mic, true}, MixLevels{}, pcm);
    EXPECT_EQ(b.frames, 2400);
    EXPECT_EQ(sys.frames(), 2400u);
    // The late samples arrive; the next pass catches up without a gap.
    fill(mic, 2400, 0.1f, 0.1f);
    b = mixer.pass(2'000'000, {&sys, true}, {&mic, true}, MixLevels{}, pcm);
    EXPECT_EQ(b.frames, 2400);
    EXPECT_EQ(b.timeHns, framesToHns(2400));
    EXPECT_EQ(pcm[0], toPcm16(0.3f));

    // Now the microphone stops delivering while still counted live: 400 ms
    // later its shortfall exceeds 300 ms and the mix goes on with silence.
    fill(sys, 19'200, 0.2f, 0.2f);
    b = mixer.pass(6'000'000, {&sys, true}, {&mic, true}, MixLevels{}, pcm);
    EXPECT_EQ(b.frames, 19'200);
    EXPECT_EQ(pcm[0], toPcm16(0.2f)); // system only, microphone silent
    EXPECT_EQ(mixer.produced(), 24'000);
}

TEST(SampleQueueRules, SilentPacketsAddZerosAndTheQueueIsCappedAtTwoSeconds) {
    SampleQueue q;
    q.append(nullptr, 5, 42);
    EXPECT_EQ(q.frames(), 5u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(q.sample(i), 0.0f);
    EXPECT_EQ(q.lastData, 42);
    q.append(nullptr, 0, 99); // an empty packet is not data
    EXPECT_EQ(q.lastData, 42);

    SampleQueue full;
    std::vector<float> v(kMaxQueueFloats);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<float>(i);
    full.append(v.data(), v.size() / 2, 1);
    EXPECT_EQ(full.frames(), kMaxQueueFrames);
    const float one[2] = {-1.0f, -2.0f};
    full.append(one, 1, 2);
    EXPECT_EQ(full.frames(), kMaxQueueFrames);
    EXPECT_EQ(full.sample(0), 2.0f); // the oldest frame (0, 1) went
    EXPECT_EQ(full.sample(kMaxQueueFloats - 1), -2.0f);
}

TEST(SampleQueueRules, FramesStayInOrderAcrossTheRingsEndAndOverlongPacketsKeepTheirNewestPart) {
    SampleQueue q;
    // Walk the ring's write position round more than once in uneven steps,
    // taking frames out as the mixer does; every frame comes out in order.
    std::vector<float> block;
    float nextIn = 0, nextOut = 0;
    for (int round = 0; round < 40; ++round) {
        const size_t n = 7'001 + static_cast<size_t>(round) * 13;
        block.clear();
        for (size_t i = 0; i < n; ++i) {
            block.push_back(nextIn);
            block.push_back(-nextIn);
            ++nextIn;
        }
        q.append(block.data(), n, 1);
        for (size_t i = 0; i < n - 1; ++i) {
            float l = 0, r = 0;
            ASSERT_TRUE(q.pop(l, r));
            ASSERT_EQ(l, nextOut);
            ASSERT_EQ(r, -nextOut);
            ++nextOut;
        }
    }
    EXPECT_EQ(q.frames(), 40u); // one frame left over per round

    // A packet of 2.5 s: only its last 2 s stay, the oldest first.
    std::vector<float> longPacket(2 * (kMaxQueueFrames + kMaxQueueFrames / 4));
    for (size_t i = 0; i < longPacket.size(); ++i)
        longPacket[i] = static_cast<float>(i);
    q.append(longPacket.data(), longPacket.size() / 2, 3);
    EXPECT_EQ(q.frames(), kMaxQueueFrames);
    EXPECT_EQ(q.sample(0), static_cast<float>(2 * (kMaxQueueFrames / 4)));
    EXPECT_EQ(q.sample(kMaxQueueFloats - 1), longPacket.back());

    q.clear();
    float l = 1, r = 1;
    EXPECT_FALSE(q.pop(l, r));
    EXPECT_EQ(l, 0.0f);
    EXPECT_EQ(r, 0.0f);
}

// Frames of one 10 ms packet arriving at `now`.
void packet(SampleQueue& q, int64_t now, float value = 0.5f) {
    std::vector<float> v(2 * 480, value);
    q.append(v.data(), 480, now);
}

TEST(SampleQueueTimes, CaptureTimeIsTheEarliestArrivalBoundAndFollowsPausesAndClear) {
    SampleQueue q;
    EXPECT_FALSE(q.timed());
    // The first packet is late by 3 ms; the next ones show the true origin.
    packet(q, 130'000);                  // bound 30 000
    EXPECT_TRUE(q.timed());
    EXPECT_EQ(q.frontHns(), 30'000);
    packet(q, 200'000);                  // bound 0
    packet(q, 310'000);                  // bound 10 000
    EXPECT_EQ(q.frontHns(), 0);
    // Removing frames moves the front on by their duration; silence put
    // before them moves it back.
    float l = 0, r = 0;
    for (int i = 0; i < 480; ++i) q.pop(l, r);
    EXPECT_EQ(q.frontHns(), 100'000);
    q.padFront(48);
    EXPECT_EQ(q.frontHns(), 90'000);
    EXPECT_EQ(q.frames(), 480u + 48u + 480u);
    EXPECT_TRUE(q.pop(l, r));
    EXPECT_EQ(l, 0.0f);
    q.dropFront(47 + 480);
    EXPECT_EQ(q.frontHns(), 200'000);
    EXPECT_EQ(q.frames(), 480u);

    // A packet 60 ms later than the origin predicts: the source paused, and
    // its frames go on from the new arrival.
    packet(q, 1'000'000);
    EXPECT_EQ(q.frontHns(), 1'000'000 - 2 * 100'000);

    // A device clock that runs slow: after a window the estimate moves up
    // to the bound of that window.
    SampleQueue slow;
    int64_t now = 100'000;
    for (int i = 0; i < 300; ++i, now += 100'200) packet(slow, now); // 0.2 % slow
    EXPECT_GT(slow.frontHns(), 20'000);

    // clear() starts a new stream: not timed and not live.
    q.clear();
    EXPECT_FALSE(q.timed());
    EXPECT_EQ(q.lastData, 0);
}

TEST(AudioMixerAlign, SourcesArePlacedAtTheirCaptureTimes) {
    // A source captured from 40 ms before mixing began: the 40 ms are
    // dropped, so the first output frame is the one captured at the start.
    {
        SampleQueue sys, mic;
        for (int i = 0; i < 16; ++i) packet(sys, -400'000 + (i + 1) * 100'000, i < 4 ? 0.1f : 0.6f);
        AudioMixer mixer(0);
        std::vector<int16_t> pcm;
        const MixBlock b = mixer.pass(1'100'000, {&sys, true, true}, {&mic, false, true}, MixLevels{}, pcm);
        ASSERT_EQ(b.frames, 480);
        EXPECT_EQ(b.timeHns, 0);
        EXPECT_EQ(pcm[0], toPcm16(0.6f));
    }
    // A source re-opened while mixing: its first frame was captured 100 ms
    // after the next output frame's time, so 100 ms of silence go first and
    // the frame comes out stamped with its capture time.
    {
        SampleQueue sys, mic;
        AudioMixer mixer(0);
        std::vector<int16_t> pcm;
        mixer.pass(2'000'000, {&sys, false, true}, {&mic, false, true}, MixLevels{}, pcm);
        ASSERT_EQ(mixer.produced(), 4800); // next output frame at 1 000 000
        packet(sys, 2'100'000, 0.6f);      // captured at 2 000 000
        const MixBlock b = mixer.pass(3'100'000, {&sys, true, true}, {&mic, false, true}, MixLevels{}, pcm);
        ASSERT_EQ(b.frames, 5280);
        EXPECT_EQ(pcm[2 * 4799], 0);
        EXPECT_EQ(pcm[2 * 4800], toPcm16(0.6f));
        EXPECT_EQ(b.timeHns + framesToHns(4800), 2'000'000);
    }
    // Within the tolerance nothing moves; an untimed queue is left alone.
    SampleQueue q;
    packet(q, 100'000); // captured from 0
    EXPECT_EQ(alignToClock(q, framesToHns(kAlignToleranceFrames)), 0);
    EXPECT_EQ(alignToClock(q, -framesToHns(kAlignToleranceFrames)), 0);
    EXPECT_EQ(alignToClock(q, -1'000'000), 4800);
    EXPECT_EQ(q.frames(), 4800u + 480u);
    EXPECT_EQ(alignToClock(q, 500'000), -(4800 + 480));
    EXPECT_EQ(q.frames(), 0u); // 7200 were due to go: all it held
    SampleQueue untimed;
    EXPECT_EQ(alignToClock(untimed, 5'000'000), 0);
}

TEST(MicrophoneList, DefaultFirstAndUnnamedDevicesNumbered) {
    const std::vector<MicEndpoint> eps = {{"a", "Headset", 1}, {"b", "", 2}, {"c", "USB", 3}};
    auto list = buildMicList(eps, "b");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].id, "b");
    EXPECT_EQ(list[0].name, "Mikrofon 2");
    EXPECT_TRUE(list[0].isDefault);
    EXPECT_EQ(list[1].id, "a");
    EXPECT_FALSE(list[1].isDefault);
    EXPECT_EQ(list[2].id, "c");
    EXPECT_TRUE(buildMicList({}, "x").empty());
    // Position counts skipped devices too.
    auto skipped = buildMicList({{"d", "", 4}}, "");
    EXPECT_EQ(skipped[0].name, "Mikrofon 4");
    EXPECT_FALSE(skipped[0].isDefault);
}

TEST(HiccupSwitch, ParsesAtMostFifteenDecimalDigits) {
    EXPECT_EQ(parseHiccupMs(nullptr), 0);
    EXPECT_EQ(parseHiccupMs(""), 0);
    EXPECT_EQ(parseHiccupMs("200"), 200);
    EXPECT_EQ(parseHiccupMs("0"), 0);
    EXPECT_EQ(parseHiccupMs("20x"), 0);
    EXPECT_EQ(parseHiccupMs("-5"), 0);
    EXPECT_EQ(parseHiccupMs("999999999999999"), 999'999'999'999'999);
    EXPECT_EQ(parseHiccupMs("1000000000000000"), 0); // 16 digits
}

} // namespace
} // namespace krel
