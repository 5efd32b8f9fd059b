#pragma once
// Platform half of screen and window capture (linux/x11_capture.cpp).
//
// A CaptureSource owns its own connection to the display server and one
// thread that waits for changes of the captured content and grabs a picture
// after each. It hands every picture to its CaptureSink on that thread and
// reuses a buffer only after a later picture was published, so a published
// picture stays valid until the next publish returns. Destroying the source
// stops and joins its thread; no sink call happens afterwards.

#include "media/nv12_convert.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace krel {

// One monitor as the display server reports it.
struct MonitorInfo {
    uint32_t index = 0; // enumeration order, counted from 0
    std::string name;   // output name, e.g. "screen" or "DP-1"
    int32_t x = 0;
    int32_t y = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool primary = false;
};

// A top-level window (an X11 window id).
using WindowId = uint64_t;

class CaptureSink {
public:
    virtual ~CaptureSink() = default;
    // A new newest picture (source thread).
    virtual void publish(const BgraImage& picture) = 0;
    // A picture could not be taken; capture goes on (source thread).
    virtual void frameError(const std::string& message) = 0;
    // The window was destroyed, the monitor vanished or the display
    // connection broke; no picture follows (source thread).
    virtual void closed() = 0;
};

class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    // Stops and joins the source thread; the buffers (and so the last
    // published picture) stay valid until destruction. Idempotent.
    virtual void halt() = 0;
};

struct WindowDescription {
    std::string title;   // at most 255 characters
    std::string process; // file name of the window's process image; empty when unknown
};

namespace platform {

// Monitors of the display in enumeration order (primary first is not
// implied). Throws when the display cannot be opened.
std::vector<MonitorInfo> listMonitors();

// Start capturing; the first picture is grabbed at once. Throw HrError or
// std::runtime_error with the failing call's text.
std::unique_ptr<CaptureSource> openMonitorCapture(const MonitorInfo& monitor, bool cursor, CaptureSink& sink);
std::unique_ptr<CaptureSource> openWindowCapture(WindowId window, bool cursor, CaptureSink& sink,
                                                 WindowDescription& description);

} // namespace platform
} // namespace krel
