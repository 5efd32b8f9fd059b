#pragma once
// The audio track of every clip and recording: the system audio mixed with
// the microphone, as 48 kHz stereo AAC packets stamped on the nowHns() clock.
//
// Threads: start() launches the mixer thread ("krel-audio-mix"), which opens
// the sources, starts the capture thread ("krel-audio-cap"), mixes a block
// every 10 ms, 100 ms behind the clock, encodes it and hands the packets to
// the sink on the mixer thread. Once started it produces a continuous stream:
// a source that is missing, failing or not connected is silence, and the
// capture thread keeps re-opening it and follows device changes.
//
// Calls: start, stop and destruction come from one controlling thread at a
// time (the engine, under its lock). The live setters, setMicDevice, the peak
// reads, outputType and running may be called from any thread.
//
// Locks: the mixer's source lock (held only while it mixes and while the
// capture thread appends samples), then `lock_` (micDevice_, outputType_),
// which is innermost.

#include "core/packet.h"
#include "core/stream_description.h"
#include "media/aac_encoder.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace krel {

struct Settings;
class CaptureThread;

class AudioEngine {
public:
    explicit AudioEngine(PacketSink sink);
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Stops a running engine, takes the device and live values from
    // `settings` and starts the mixer thread. The microphone is mixed when
    // "micEnabled" is set and "audio" is "gameMic" or "systemMic". Throws
    // when no AAC encoder can be made; outputType() is known on return.
    void start(const Settings& settings);
    // Ends both threads; the encoder's last packets reach the sink first.
    // Harmless when nothing runs.
    void stop();
    // True from the moment the mixer is set up until it ends (also after an
    // error ended it).
    bool running() const { return running_.load(); }

    // Live values, picked up by the next mixer pass.
    void setMicMuted(bool muted) { micMuted_.store(muted); }
    // Sets the mute flag and answers the previous one.
    bool exchangeMicMuted(bool muted) { return micMuted_.exchange(muted); }
    bool micMuted() const { return micMuted_.load(); }
    void setMicMono(bool mono) { micMono_.store(mono); }
    void setGameVolume(float volume) { gameVolume_.store(volume); }
    void setMicVolume(float volume) { micVolume_.store(volume); }
    // Chooses the microphone ("" = default); a running capture thread
    // switches to it and logs "Audio: Mikrofon gewechselt (true|false)".
    void setMicDevice(const std::string& deviceId);

    // Highest absolute sample (1.0 = full scale) of the system audio and of
    // the microphone since the previous call; reading resets to 0.
    float takeGamePeak() { return gamePeak_.exchange(0.0f); }
    float takeMicPeak() { return micPeak_.exchange(0.0f); }

    // The AAC stream description, set by start() before the first packet.
    std::optional<StreamDescription> outputType() const;

private:
    friend class CaptureThread;

    void mixerMain();

    PacketSink sink_;
    std::thread mixer_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> micMuted_{false};
    std::atomic<bool> micMono_{true};
    std::atomic<float> gameVolume_{1.0f};
    std::atomic<float> micVolume_{1.0f};
    std::atomic<float> gamePeak_{0.0f};
    std::atomic<float> micPeak_{0.0f};
    // Written by start() before the threads run; read-only while they run.
    bool micEnabled_ = true;
    bool systemEnabled_ = true;
    std::atomic<bool> micDeviceChanged_{false};
    mutable std::mutex lock_;
    std::string micDevice_;                       // guarded by lock_
    std::optional<StreamDescription> outputType_; // guarded by lock_
};

// The stall switch "KREL_PLAY_TEST_AUDIO_HICCUP_MS": at most 15 decimal
// digits; absent, malformed or 0 means off. Milliseconds.
int64_t parseHiccupMs(const char* value);

} // namespace krel
