#pragma once
// The platform's sound server, as the audio capture needs it: default
// devices, capture streams and the list of microphones. The Linux backend
// (linux/pulse_*.cpp) speaks to PulseAudio or PipeWire's PulseAudio server
// through libpulse.
//
// Threads and ownership: an AudioServer and the AudioCaptures it opened are
// used by one thread at a time and have no locks of their own. The audio
// engine's mixer thread creates the server and the streams, the capture
// thread then drives them, and the mixer thread closes them after it joined
// the capture thread. Captures must be destroyed before their server.
//
// Blocking: calls that talk to the server wait for its answer, at most
// kServerWaitMs (opening a stream) — never while the caller holds the source
// lock that the mixer needs.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace krel {

inline constexpr int kServerWaitMs = 3000;

// One open capture stream: 48 kHz, stereo, 32-bit float, interleaved.
class AudioCapture {
public:
    virtual ~AudioCapture() = default;
    // Appends every frame captured since the last call to `out` (two floats
    // per frame; a stretch the server marks as a hole is appended as zeros)
    // and adds the number of frames to `frames`. False when the stream has
    // failed (device gone, server gone); the caller then re-opens it.
    virtual bool read(std::vector<float>& out, size_t& frames) = 0;
};

class AudioServer {
public:
    // Does not connect yet; never throws for a missing server.
    AudioServer();
    ~AudioServer();
    AudioServer(const AudioServer&) = delete;
    AudioServer& operator=(const AudioServer&) = delete;

    // Connects when not connected: at most one attempt per kReconnectMs, so a
    // missing server costs nothing on the capture thread's fast loop. True
    // when connected.
    bool connect();
    // Handles pending server events without waiting; the capture thread
    // calls it once per pass before reading.
    void dispatch();

    // Id of the default playback device; "" when there is none or no server.
    std::string defaultPlaybackId();
    // Id of the default microphone; "" when there is none. A monitor of a
    // playback device is never a default microphone: a server without
    // microphones often names one as its default input.
    std::string defaultMicrophoneId();
    // Whether a capture device (microphone or monitor) with this id exists.
    bool hasCaptureDevice(const std::string& id);

    // Everything played on the playback device `playbackId`. The loopback
    // includes this program's own sounds (`excludesSelf` is false for it).
    std::unique_ptr<AudioCapture> openLoopback(const std::string& playbackId);
    // The capture device `deviceId`. Null on failure, for both.
    std::unique_ptr<AudioCapture> openCapture(const std::string& deviceId);

    static constexpr int kReconnectMs = 500;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace krel
