#include "media/capture.h"

#include "config/log.h"
#include "core/text_utf8.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace krel {

std::pair<uint32_t, uint32_t> copyExtent(uint32_t bufferWidth, uint32_t bufferHeight, uint32_t contentWidth,
                                         uint32_t contentHeight) {
    return {std::min(bufferWidth, contentWidth), std::min(bufferHeight, contentHeight)};
}

Capture::Capture(const D3D& d3d) : d3d_(d3d) {}

Capture::~Capture() {
    stop();
    onClosed = nullptr;
}

void Capture::startMonitor(const MonitorInfo& monitor, bool cursor) {
    stop();
    source_ = platform::openMonitorCapture(monitor, cursor, *this);
    logLine("Aufnahme Monitor");
}

void Capture::startWindow(WindowId window, bool cursor) {
    stop();
    WindowDescription description;
    source_ = platform::openWindowCapture(window, cursor, *this, description);
    logLine(fmt::format("Aufnahme Fenster: {} ({})", printable(description.title), printable(description.process)));
}

void Capture::stop() {
    if (!source_) return;
    source_->halt(); // no publish can follow
    {
        // Keep the newest picture in memory of our own: the source's buffers go with it.
        std::lock_guard lock(lock_);
        if (latest_.data) {
            const size_t rowBytes = 4 * static_cast<size_t>(latest_.width);
            retained_.resize(rowBytes * latest_.height);
            for (uint32_t y = 0; y < latest_.height; ++y)
                std::memcpy(retained_.data() + y * rowBytes, latest_.data + static_cast<std::ptrdiff_t>(y) * latest_.stride,
                            rowBytes);
            latest_.data = retained_.data();
            latest_.stride = static_cast<int32_t>(rowBytes);
        }
    }
    source_.reset();
}

std::pair<uint32_t, uint32_t> Capture::latestSize() const {
    std::lock_guard lock(lock_);
    return {latest_.width, latest_.height};
}

void Capture::publish(const BgraImage& picture) {
    std::lock_guard lock(lock_);
    latest_ = picture;
}

void Capture::frameError(const std::string& message) {
    logLine(fmt::format("Capture-Frame-Fehler: {}", message));
}

void Capture::closed() {
    if (onClosed) onClosed();
}

} // namespace krel
