#pragma once
// Helpers of the audio tests: a tone played into a PulseAudio sink, pactl,
// decoding AAC packets back to PCM with libavcodec, and tone measurements.

#include "core/packet.h"
#include "core/stream_description.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace krel::test {

// Plays a sine per channel into `sink` through its own libpulse connection
// until destroyed. Amplitude 0 leaves a channel silent. `server` "" means
// the default server.
class TonePlayer {
public:
    TonePlayer(const std::string& sink, double freqL, double ampL, double freqR, double ampR,
               const std::string& server = "");
    ~TonePlayer();
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;
    bool ok() const;

    struct State;

private:
    std::unique_ptr<State> s_;
};

// Runs "pactl ARGS" against the current server; returns its output.
std::string pactl(const std::string& args);

// Collects the packets an AudioEngine hands to its sink (any thread).
class PacketLog {
public:
    void add(const PacketPtr& p);
    std::vector<PacketPtr> packets() const;

private:
    mutable std::mutex m_;
    std::vector<PacketPtr> packets_;
};

struct Pcm {
    int64_t startHns = 0; // time of the first decoded frame
    std::vector<float> left;
    std::vector<float> right;
    // Index of the frame at time `hns` (clamped to the decoded range).
    size_t indexAt(int64_t hns) const;
};

// Decodes the packets in order; the first frame is at the first packet's pts.
Pcm decodeAac(const StreamDescription& type, const std::vector<PacketPtr>& packets);

// Amplitude of the sine of frequency `freq` in samples [from, to).
double toneAmplitude(const std::vector<float>& x, size_t from, size_t to, double freq);
// The strongest line within 1 % of `freq`: while the mixer's drift
// correction drops one frame in 200, a tone sounds 0.5 % higher.
double bandAmplitude(const std::vector<float>& x, size_t from, size_t to, double freq);
// Frequency estimated from the zero crossings in [from, to).
double zeroCrossingFrequency(const std::vector<float>& x, size_t from, size_t to);
double peakAbs(const std::vector<float>& x, size_t from, size_t to);
double rms(const std::vector<float>& x, size_t from, size_t to);

// Every packet stream 1, key frame, non-empty; consecutive packets follow
// 1024 frames apart on the 48 kHz grid (difference 213 333 or 213 334 and
// no accumulated drift); each duration reaches the next packet.
void expectContinuousAudio(const std::vector<PacketPtr>& packets);

} // namespace krel::test

namespace krel::test {

// Polls `done` every 50 ms for at most `timeoutMs`; true when it held.
template <class Done> bool waitUntil(Done done, int timeoutMs);

// Amplitude of a tone within 1 % of `freq` on the left (or right) channel
// over the newest `windowHns` of audio in `packets` (the very end excluded).
double recentTone(const StreamDescription& type, const std::vector<PacketPtr>& packets, double freq,
                  int64_t windowHns = 2'000'000, bool right = false);

// The log file of this test process ("krel-play.log" in the data folder).
std::string readLog();

// Loads a pactl module on construction and unloads it again.
class PulseModule {
public:
    explicit PulseModule(const std::string& args);
    ~PulseModule();
    PulseModule(const PulseModule&) = delete;
    PulseModule& operator=(const PulseModule&) = delete;
    bool ok() const { return index_ >= 0; }
    void unload();

private:
    int index_ = -1;
};

} // namespace krel::test

#include <chrono>
#include <thread>

template <class Done> bool krel::test::waitUntil(Done done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

#include "config/settings.h"

#include <gtest/gtest.h>

namespace krel::test {

// Settings that mix the microphone as `mix` says, from `micDevice` ("" = the
// default source).
Settings settingsFor(AudioMix mix, const std::string& micDevice = "");

// Base of the tests against the PulseAudio of scripts/services.sh: the
// process logs into a data folder of its own, and the server must be the one
// with the "krel_null" default sink.
class PulseAudioTest : public ::testing::Test {
protected:
    void SetUp() override;
};

} // namespace krel::test
