// The audio engine against the real PulseAudio of scripts/services.sh: a tone
// played into the null sink "krel_null" is the system audio, a second null
// sink's monitor serves as a microphone with a tone; the AAC packets are
// decoded back and measured.

#include "audio_test_support.h"
#include "config/settings.h"
#include "core/clock.h"
#include "media/audio_engine.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace krel {
namespace {

using test::settingsFor;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class AudioEngineTest : public test::PulseAudioTest {
protected:

    void startEngine(const Settings& s) {
        engine_.start(s);
        ASSERT_TRUE(engine_.outputType().has_value()); // known before any packet
        ASSERT_TRUE(test::waitUntil([&] { return engine_.running(); }, 8000));
    }

    test::Pcm decoded() { return test::decodeAac(*engine_.outputType(), log_.packets()); }

    test::PacketLog log_;
    AudioEngine engine_{[this](const PacketPtr& p) { log_.add(p); }};
};

TEST_F(AudioEngineTest, SystemToneComesOutAsContinuousAac) {
    test::TonePlayer tone("krel_null", 440.0, 0.5, 440.0, 0.5);
    ASSERT_TRUE(tone.ok());
    startEngine(settingsFor(AudioMix::GameOnly));
    const int64_t t1 = nowHns();
    sleepMs(1200);
    const int64_t t2 = nowHns();
    engine_.stop();
    EXPECT_FALSE(engine_.running());

    const auto packets = log_.packets();
    test::expectContinuousAudio(packets);
    EXPECT_GE(engine_.outputType()->extradata.size(), 2u);
    const test::Pcm pcm = decoded();
    const size_t from = pcm.indexAt(t1 + 2'000'000), to = pcm.indexAt(t2 - 2'000'000);
    ASSERT_GT(to, from + 24'000);
    EXPECT_NEAR(test::zeroCrossingFrequency(pcm.left, from, to), 440.0, 3.0);
    EXPECT_NEAR(test::bandAmplitude(pcm.left, from, to, 440.0), 0.5, 0.04);
    EXPECT_NEAR(test::bandAmplitude(pcm.right, from, to, 440.0), 0.5, 0.04);
    // The tone is continuous: no 20 ms stretch drops out.
    for (size_t i = from; i + 960 <= to; i += 960) {
        ASSERT_GT(test::rms(pcm.left, i, i + 960), 0.3) << "dropout at frame " << i;
    }
    EXPECT_NE(test::readLog().find("Audio: System=true Mikrofon=false"), std::string::npos);
}

TEST_F(AudioEngineTest, GameVolumeScalesLiveAndClampsAtFullScale) {
    test::TonePlayer tone("krel_null", 440.0, 0.6, 440.0, 0.6);
    ASSERT_TRUE(tone.ok());
    startEngine(settingsFor(AudioMix::GameOnly));
    sleepMs(300);
    std::vector<int64_t> marks;
    for (float v : {0.5f, 2.0f, 1.0f}) {
        engine_.setGameVolume(v);
        marks.push_back(nowHns());
        engine_.takeGamePeak();
        sleepMs(800);
        // The meter reads the system audio before its volume.
        EXPECT_NEAR(engine_.takeGamePeak(), 0.6f, 0.05f) << "volume " << v;
    }
    marks.push_back(nowHns());
    engine_.stop();
    test::expectContinuousAudio(log_.packets());

    // The fundamental of a 1.2 sine clipped at 1.0.
    std::vector<float> clipped(48'000);
    for (size_t i = 0; i < clipped.size(); ++i) {
        clipped[i] =
            static_cast<float>(std::clamp(1.2 * std::sin(2.0 * M_PI * 440.0 * i / 48000.0), -1.0, 1.0));
    }
    const double clippedFundamental = test::toneAmplitude(clipped, 0, clipped.size(), 440.0);
    const test::Pcm pcm = decoded();
    // A live value applies to the blocks mixed after it was set; those hold
    // samples stamped from 100 ms (plus at most 300 ms of waiting for a late
    // source) before the call on.
    auto seg = [&](int k, double freq) {
        return test::bandAmplitude(pcm.left, pcm.indexAt(marks[k] + 500'000),
                                   pcm.indexAt(marks[k + 1] - 4'000'000), freq);
    };
    EXPECT_NEAR(seg(0, 440.0), 0.3, 0.03); // 0.5 halves
    // 2.0 doubles, then clamps: the fundamental near that of a clipped 1.2
    // sine (far above 0.6), the peaks at full scale instead of 1.2.
    EXPECT_NEAR(seg(1, 440.0), clippedFundamental, 0.08);
    const size_t a = pcm.indexAt(marks[1] + 500'000), b = pcm.indexAt(marks[2] - 4'000'000);
    EXPECT_LE(test::peakAbs(pcm.left, a, b), 1.06);
    EXPECT_GE(test::peakAbs(pcm.left, a, b), 0.95);
    EXPECT_NEAR(seg(2, 440.0), 0.6, 0.04);
}

class MicSink {
public:
    MicSink()
        : module_("module-null-sink sink_name=krel_micsink sink_properties=device.description=KrelMicSink") {}
    bool ok() const { return module_.ok(); }
    void unload() { module_.unload(); }

private:
    test::PulseModule module_;
};

TEST_F(AudioEngineTest, MicrophoneMonoMuteAndVolume) {
    MicSink micSink;
    ASSERT_TRUE(micSink.ok());
    test::TonePlayer system("krel_null", 440.0, 0.3, 440.0, 0.3);
    test::TonePlayer mic("krel_micsink", 1000.0, 0.4, 1000.0, 0.0); // left channel only
    ASSERT_TRUE(system.ok());
    ASSERT_TRUE(mic.ok());
    startEngine(settingsFor(AudioMix::SystemMic, "krel_micsink.monitor"));
    std::vector<int64_t> marks{nowHns()};
    sleepMs(900);
    marks.push_back(nowHns());

    engine_.setMicMuted(true);
    engine_.takeMicPeak();
    engine_.takeGamePeak();
    sleepMs(800);
    EXPECT_EQ(engine_.takeMicPeak(), 0.0f);
    EXPECT_GT(engine_.takeGamePeak(), 0.25f);
    marks.push_back(nowHns());

    engine_.setMicMuted(false);
    engine_.setMicMono(false);
    sleepMs(800);
    EXPECT_GT(engine_.takeMicPeak(), 0.3f);
    marks.push_back(nowHns());

    engine_.setMicVolume(0.5f);
    sleepMs(800);
    marks.push_back(nowHns());
    engine_.stop();
    test::expectContinuousAudio(log_.packets());

    const test::Pcm pcm = decoded();
    auto amp = [&](int k, double freq, bool right) {
        const auto& x = right ? pcm.right : pcm.left;
        return test::bandAmplitude(x, pcm.indexAt(marks[k] + 500'000), pcm.indexAt(marks[k + 1] - 4'000'000),
                                   freq);
    };
    // Mono: the left-only microphone at half amplitude on both channels.
    EXPECT_NEAR(amp(0, 1000.0, false), 0.2, 0.03);
    EXPECT_NEAR(amp(0, 1000.0, true), 0.2, 0.03);
    EXPECT_NEAR(amp(0, 440.0, false), 0.3, 0.03);
    // Muted: the system audio only.
    EXPECT_LT(amp(1, 1000.0, false), 0.01);
    EXPECT_NEAR(amp(1, 440.0, true), 0.3, 0.03);
    // Stereo again: left full, right silent.
    EXPECT_NEAR(amp(2, 1000.0, false), 0.4, 0.03);
    EXPECT_LT(amp(2, 1000.0, true), 0.01);
    // Microphone volume 0.5.
    EXPECT_NEAR(amp(3, 1000.0, false), 0.2, 0.03);
    EXPECT_NE(test::readLog().find("Audio: System=true Mikrofon=true"), std::string::npos);
}

TEST_F(AudioEngineTest, SystemModeMixesNoMicrophoneEvenWhenEnabled) {
    MicSink micSink;
    ASSERT_TRUE(micSink.ok());
    test::TonePlayer system("krel_null", 440.0, 0.3, 440.0, 0.3);
    test::TonePlayer mic("krel_micsink", 1000.0, 0.4, 1000.0, 0.4);
    startEngine(settingsFor(AudioMix::System, "krel_micsink.monitor"));
    const int64_t t1 = nowHns();
    sleepMs(900);
    const int64_t t2 = nowHns();
    EXPECT_EQ(engine_.takeMicPeak(), 0.0f);
    engine_.stop();
    const test::Pcm pcm = decoded();
    const size_t from = pcm.indexAt(t1 + 2'000'000), to = pcm.indexAt(t2);
    EXPECT_LT(test::bandAmplitude(pcm.left, from, to, 1000.0), 0.01);
    EXPECT_NEAR(test::bandAmplitude(pcm.left, from, to, 440.0), 0.3, 0.03);
    EXPECT_NE(test::readLog().find("Audio: System=true Mikrofon=false"), std::string::npos);
}

TEST_F(AudioEngineTest, HiccupStallsTheMixerWithoutAGapInTimeOrSound) {
    ASSERT_EQ(setenv("KREL_PLAY_TEST_AUDIO_HICCUP_MS", "200", 1), 0);
    test::TonePlayer tone("krel_null", 440.0, 0.5, 440.0, 0.5);
    ASSERT_TRUE(tone.ok());
    std::vector<int64_t> arrivals;
    std::mutex m;
    AudioEngine engine([&](const PacketPtr& p) {
        log_.add(p);
        std::lock_guard lock(m);
        arrivals.push_back(nowHns());
    });
    engine.start(settingsFor(AudioMix::GameOnly));
    ASSERT_TRUE(test::waitUntil([&] { return engine.running(); }, 8000));
    const int64_t t1 = nowHns();
    // The first stall comes 10 s after the mixer started.
    sleepMs(10'900);
    const int64_t t2 = nowHns();
    engine.stop();
    unsetenv("KREL_PLAY_TEST_AUDIO_HICCUP_MS");

    int64_t maxGap = 0;
    for (size_t i = 1; i < arrivals.size(); ++i)
        maxGap = std::max(maxGap, arrivals[i] - arrivals[i - 1]);
    ASSERT_GE(maxGap, 1'900'000) << "the mixer did not stall";
    const auto packets = log_.packets();
    test::expectContinuousAudio(packets);
    const test::Pcm pcm = test::decodeAac(*engine.outputType(), packets);
    const size_t from = pcm.indexAt(t1 + 2'000'000), to = pcm.indexAt(t2 - 2'000'000);
    for (size_t i = from; i + 960 <= to; i += 960) {
        ASSERT_GT(test::rms(pcm.left, i, i + 960), 0.3) << "dropout at frame " << i;
    }
}

} // namespace
} // namespace krel
