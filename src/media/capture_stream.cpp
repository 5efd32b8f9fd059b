#include "media/capture_stream.h"

#include "core/clock.h"
#include "media/audio_mixer.h"

namespace krel {

CaptureStream::CaptureStream(bool isSystem, std::mutex& sourceLock)
    : isSystem_(isSystem), sourceLock_(sourceLock) {
    scratch_.reserve(48'000 / 10 * 2);
}

CaptureStream::~CaptureStream() = default;

void CaptureStream::setActive(bool active) {
    std::lock_guard lock(sourceLock_);
    active_ = active;
}

void CaptureStream::open(AudioServer& server) {
    lastOpenAttempt_ = nowHns();
    {
        // Samples of the previous device do not continue the new one.
        std::lock_guard lock(sourceLock_);
        queue_.clear();
        active_ = false;
    }
    capture_.reset();
    // A monitor source always hears this program's own sounds too.
    excludesSelf_ = false;

    if (isSystem_) {
        deviceId_ = server.defaultPlaybackId();
        if (!deviceId_.empty()) capture_ = server.openLoopback(deviceId_);
    } else {
        if (!wantedDeviceId.empty()) {
            capture_ = server.openCapture(wantedDeviceId);
            if (capture_) deviceId_ = wantedDeviceId;
        }
        if (!capture_) {
            deviceId_ = server.defaultMicrophoneId();
            if (!deviceId_.empty()) capture_ = server.openCapture(deviceId_);
        }
    }
    if (capture_) setActive(true);
}

bool CaptureStream::pump() {
    if (!capture_) return false;
    scratch_.clear();
    size_t frames = 0;
    const bool ok = capture_->read(scratch_, frames);
    if (frames > 0 || !ok) {
        const int64_t now = nowHns();
        std::lock_guard lock(sourceLock_);
        if (frames > 0) queue_.append(scratch_.data(), frames, now);
        if (!ok) active_ = false;
    }
    if (!ok) capture_.reset();
    return ok;
}

void CaptureStream::close() {
    {
        std::lock_guard lock(sourceLock_);
        queue_.clear();
        active_ = false;
    }
    capture_.reset();
}

bool CaptureStream::live(int64_t now) const {
    return active_ && now - queue_.lastData < kLiveHns;
}

} // namespace krel
