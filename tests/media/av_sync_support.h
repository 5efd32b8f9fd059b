#pragma once
// A source of flashes and beeps on one clock, for measuring how far a clip's
// sound lies from its picture: a window that turns white once a second and a
// beep played into a sink at the same instants of nowHns(); and the reading
// of both onsets back out of a clip.

#include <X11/Xlib.h>
#include <pulse/simple.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace krel::test {

inline constexpr int64_t kFlashPeriodHns = 10'000'000; // one flash and one beep a second

// A 320 x 240 window at (100, 100) titled `title` that turns white for 150 ms
// at every flash instant (origin + k periods) and is black otherwise. Its
// own X connection and thread.
class FlashWindow {
public:
    FlashWindow(const char* title, int64_t originHns);
    ~FlashWindow();
    FlashWindow(const FlashWindow&) = delete;
    FlashWindow& operator=(const FlashWindow&) = delete;

private:
    void paint(bool white);
    void run();

    int64_t origin_;
    Display* dpy_ = nullptr;
    Window window_ = 0;
    GC gc_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Plays a 1 kHz beep of 100 ms into `sink` at every flash instant. A short
// playback buffer and the stream's latency tell when each written sample
// will sound, so the beeps are placed on the same clock as the flashes.
class Beeper {
public:
    Beeper(const std::string& sink, int64_t originHns);
    ~Beeper();
    Beeper(const Beeper&) = delete;
    Beeper& operator=(const Beeper&) = delete;

private:
    struct SimpleFree {
        void operator()(pa_simple* s) const { pa_simple_free(s); }
    };
    void run();

    int64_t origin_;
    std::unique_ptr<pa_simple, SimpleFree> stream_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Flash onsets (first white frame after a black one) and beep onsets (first
// sample above half the beep's amplitude after 300 ms of quiet) of a clip, in
// seconds on the file's timeline.
struct Onsets {
    std::vector<double> flashes;
    std::vector<double> beeps;
};
Onsets findOnsets(const std::filesystem::path& clip);

// Beep minus flash in milliseconds, for every flash that has a beep within
// 400 ms (flashes while the beeps go elsewhere have none).
std::vector<double> offsetsMs(const Onsets& onsets);

} // namespace krel::test
