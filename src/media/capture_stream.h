#pragma once
// One audio source of the mixer: the system audio (a loopback of the default
// playback device) or the microphone (the chosen device, else the default
// one), with its sample queue.
//
// Threads and locking: the capture thread (and, before it starts and after it
// ended, the mixer thread) calls open, pump and close and owns the device
// side (the capture, deviceId, excludesSelf, wantedDeviceId). The queue and
// `active` are shared with the mixer and guarded by the source lock passed in
// at construction. The device calls run without that lock, so opening a slow
// device never holds up the mixer; only appending to the queue takes it.

#include "media/audio_server.h"
#include "media/sample_queue.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace krel {

// A source that could not be opened is tried again after this long (100 ns).
inline constexpr int64_t kReopenRetryHns = 5'000'000;

class CaptureStream {
public:
    CaptureStream(bool isSystem, std::mutex& sourceLock);
    ~CaptureStream();
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    // --- device side (caller does not hold the source lock) ---

    // (Re)opens the source. The system source follows the default playback
    // device; the microphone takes `wantedDeviceId` when it can be opened,
    // else the default microphone. Empties the queue first. Never throws;
    // failure leaves it inactive.
    void open(AudioServer& server);
    // Moves everything captured so far into the queue. False when the
    // stream is not active or has failed (it is then inactive).
    bool pump();
    // Stops the stream, empties the queue, clears `active`.
    void close();

    bool isSystem() const { return isSystem_; }
    // Device in use; for the system source the playback device.
    const std::string& deviceId() const { return deviceId_; }
    bool excludesSelf() const { return excludesSelf_; }
    // nowHns() of the last open attempt.
    int64_t lastOpenAttempt() const { return lastOpenAttempt_; }
    // Microphone only: the chosen device; "" means the default microphone.
    std::string wantedDeviceId;

    // --- mixer side (caller holds the source lock, or is the device side) ---

    SampleQueue& queue() { return queue_; }
    bool active() const { return active_; }
    // Active and delivered data less than 300 ms before `now`.
    bool live(int64_t now) const;

private:
    void setActive(bool active);

    const bool isSystem_;
    std::mutex& sourceLock_;
    std::unique_ptr<AudioCapture> capture_;
    std::string deviceId_;
    bool excludesSelf_ = false;
    int64_t lastOpenAttempt_ = 0;
    std::vector<float> scratch_; // reused read buffer
    // Guarded by sourceLock_.
    SampleQueue queue_;
    bool active_ = false;
};

} // namespace krel
