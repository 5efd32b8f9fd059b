#pragma once
// Screen and window capture: keeps exactly one picture, the newest, of a
// monitor or a top-level window.
//
// The engine creates one Capture per pipeline start, sets onClosed, starts it
// and reads the picture from its pacing thread through withLatest, at its own
// pace; pictures that arrive in between simply replace each other.
//
// Threads: startMonitor, startWindow and stop run on engine threads; the
// platform source grabs on its own thread and calls onClosed there (so the
// callback must not call stop or destroy the Capture itself; the engine
// hands that to another thread). `lock_` guards the newest picture and is
// held for the whole consumer call of withLatest. Grabbing never waits for a
// consumer: it fills a second buffer and swaps it in under the lock.

#include "media/capture_source.h"
#include "media/gpu_device.h"
#include "media/nv12_convert.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace krel {

// The part of a capture buffer that holds current content: the buffer may
// lag behind the content size right after a resize (min of both).
std::pair<uint32_t, uint32_t> copyExtent(uint32_t bufferWidth, uint32_t bufferHeight, uint32_t contentWidth,
                                         uint32_t contentHeight);

class Capture : private CaptureSink {
public:
    explicit Capture(const D3D& d3d);
    ~Capture() override;
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Called when the captured window or monitor goes away; may be empty.
    // Set before starting.
    std::function<void()> onClosed;

    // Stop any running capture and start on a monitor / a window. Errors
    // reach the caller with their text.
    void startMonitor(const MonitorInfo& monitor, bool cursor);
    void startWindow(WindowId window, bool cursor);
    // Ends the capture; harmless when nothing runs. The newest picture stays
    // until the next start's first picture replaces it.
    void stop();

    // Size of the newest picture; (0, 0) before the first.
    std::pair<uint32_t, uint32_t> latestSize() const;

    // Calls consumer(const BgraImage&) with the newest picture while holding
    // the lock and returns true; false (consumer not called) before the
    // first picture.
    template <class Consumer>
    bool withLatest(Consumer&& consumer) {
        std::lock_guard lock(lock_);
        if (!latest_.data) return false;
        consumer(static_cast<const BgraImage&>(latest_));
        return true;
    }

private:
    void publish(const BgraImage& picture) override;
    void frameError(const std::string& message) override;
    void closed() override;

    [[maybe_unused]] const D3D& d3d_; // the device the platform's capture shares
    mutable std::mutex lock_;
    BgraImage latest_{};
    std::vector<uint8_t> retained_; // the newest picture after stop, when the source's buffers are gone
    std::unique_ptr<CaptureSource> source_;
};

} // namespace krel
