#include "ui/sound_cues.h"

#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

namespace krel {
namespace {

uint32_t read32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& image) {
    std::vector<int16_t> out((image.size() - 44) / 2);
    std::memcpy(out.data(), image.data() + 44, out.size() * 2);
    return out;
}

// Power of one frequency in the signal (Goertzel filter).
double powerAt(const std::vector<int16_t>& x, double frequency) {
    const double coeff = 2 * std::cos(2 * std::numbers::pi * frequency / 48'000);
    double s1 = 0, s2 = 0;
    for (int16_t v : x) {
        const double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

TEST(SoundCues, ImageLayoutAndRange) {
    const std::vector<uint8_t>& image = cueImage(0);
    ASSERT_EQ(image.size(), 33'644u);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 4), "RIFF");
    EXPECT_EQ(read32(image, 4), 33'636u);
    EXPECT_EQ(std::string(image.begin() + 8, image.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(read32(image, 16), 16u);
    EXPECT_EQ(read32(image, 20), 1u | 1u << 16); // PCM, mono
    EXPECT_EQ(read32(image, 24), 48'000u);
    EXPECT_EQ(read32(image, 28), 96'000u);
    EXPECT_EQ(read32(image, 32), 2u | 16u << 16); // block align, bits
    EXPECT_EQ(std::string(image.begin() + 36, image.begin() + 40), "data");
    EXPECT_EQ(read32(image, 40), 33'600u);
    // The chime ends in 20 ms of silence.
    const std::vector<int16_t> samples = samplesOf(image);
    for (size_t i = samples.size() - 960; i < samples.size(); ++i) ASSERT_EQ(samples[i], 0);

    // Overlapping notes add up before the gain; the clamp holds them at full
    // scale, never beyond (and -32768 never occurs).
    const Note loud[] = {{440, 0, 0.1}, {440, 0, 0.1}, {660, 0.02, 0.1}};
    for (const auto& img : {cueImage(1), cueImage(2), synthesize(loud, 4.0)}) {
        int peak = 0;
        for (int16_t v : samplesOf(img)) peak = std::max(peak, std::abs(static_cast<int>(v)));
        EXPECT_LE(peak, 32767);
        EXPECT_GT(peak, 1000);
    }
    int clipped = 0;
    for (int16_t v : samplesOf(synthesize(loud, 4.0))) clipped += std::abs(static_cast<int>(v)) == 32767;
    EXPECT_GT(clipped, 100);
}

TEST(SoundCues, ImagesAreBuiltOnce) {
    std::vector<const std::vector<uint8_t>*> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &cueImage(1); });
    for (auto& t : threads) t.join();
    for (const auto* p : seen) EXPECT_EQ(p, &cueImage(1));
    EXPECT_EQ(&cueImage(2), &cueImage(7)); // unknown numbers are cue 2
    EXPECT_EQ(&cueImage(2), &cueImage(-1));
}

struct SimpleFree {
    void operator()(pa_simple* s) const { pa_simple_free(s); }
};

// Plays cue 0 into the null sink and listens to its monitor: both notes are
// heard, a frequency between them is not.
TEST(SoundCues, PlaysIntoDefaultSink) {
    const pa_sample_spec format{PA_SAMPLE_S16LE, 48'000, 1};
    // Small fragments: with the server's default of 2 s the null sink renders
    // so far ahead that a sound started meanwhile never reaches the monitor.
    pa_buffer_attr attr{};
    std::memset(&attr, 0xFF, sizeof attr);
    attr.fragsize = 2 * 960;
    int error = 0;
    std::unique_ptr<pa_simple, SimpleFree> rec(pa_simple_new(nullptr, "krel-cues-test", PA_STREAM_RECORD,
                                                              "krel_null.monitor", "monitor", &format, nullptr,
                                                              &attr, &error));
    ASSERT_TRUE(rec) << pa_strerror(error);

    playCue(0);
    playCue(0); // asked again while its upload is under way

    // Record until the chime has come and gone (at most 10 s of audio).
    std::vector<int16_t> heard;
    size_t loudAt = 0;
    std::vector<int16_t> chunk(2'400);
    while (heard.size() < 10 * 48'000u) {
        ASSERT_EQ(pa_simple_read(rec.get(), chunk.data(), chunk.size() * 2, &error), 0) << pa_strerror(error);
        heard.insert(heard.end(), chunk.begin(), chunk.end());
        if (loudAt == 0) {
            for (size_t i = heard.size() - chunk.size(); i < heard.size() && loudAt == 0; ++i) {
                if (std::abs(heard[i]) > 1000) loudAt = i;
            }
        } else if (heard.size() > loudAt + 24'000) {
            break; // the chime lasts 0.35 s
        }
    }
    ASSERT_NE(loudAt, 0u) << "no sound arrived at krel_null";

    const double control = powerAt(heard, 1'000);
    EXPECT_GT(powerAt(heard, 1318.5), 20 * control);
    EXPECT_GT(powerAt(heard, 1760), 20 * control);
}

// Without a reachable sound server playCue returns and does nothing; the
// sound thread is torn down cleanly when the process exits.
TEST(SoundCuesDeathTest, SilentWithoutServer) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("PULSE_SERVER", "unix:/nonexistent/krel-no-server", 1);
            playCue(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let the attempt fail
            playCue(1); // tries a new connection
            playCue(5);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace krel
