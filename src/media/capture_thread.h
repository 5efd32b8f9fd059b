#pragma once
// The capture thread of the audio engine: every 4 ms it reads both sources
// into their queues, re-opens a source that failed (at most every 500 ms),
// switches the microphone when the settings chose another one, and every 2 s
// follows a new default device.
//
// It runs from the mixer thread's start of the capture until the engine's
// stopping flag is set; the mixer thread joins it. It takes the source lock
// only to append samples (inside CaptureStream), and the engine's lock only
// to copy the chosen microphone.

#include <cstdint>

namespace krel {

class AudioEngine;
class AudioServer;
class CaptureStream;

inline constexpr int64_t kCapturePassHns = 40'000;     // 4 ms
inline constexpr int64_t kDeviceCheckHns = 20'000'000; // 2 s

class CaptureThread {
public:
    CaptureThread(AudioEngine& engine, AudioServer& server, CaptureStream& system, CaptureStream& mic)
        : engine_(engine), server_(server), system_(system), mic_(mic) {}

    void operator()();

private:
    void run();
    // Re-opens a source whose read failed, unless it was tried just now.
    void service(CaptureStream& stream, int64_t now);
    void checkDevices();

    AudioEngine& engine_;
    AudioServer& server_;
    CaptureStream& system_;
    CaptureStream& mic_;
};

} // namespace krel
