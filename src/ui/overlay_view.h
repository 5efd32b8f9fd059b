#pragma once
// The platform half of the overlay: one window over a monitor with the web
// view that shows the page. The portable Overlay drives it; the view only
// reports what happened. Every call and every event runs on the main thread.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace krel {

// The monitor the overlay covers, in virtual-screen pixels, and its DPI.
struct MonitorArea {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    int dpi = 96;
};

struct OverlayViewEvents {
    // A text the page posted from its own document (other senders never
    // reach this).
    std::function<void(const std::string& text)> pageMessage;
    // The window lost the keyboard focus to another program's window.
    std::function<void()> deactivated;
    // One frame of the window's frame clock passed (only between
    // startFrames and stopFrames).
    std::function<void()> frame;
    // The web view cannot go on: it failed to start or load the page
    // (`started` false), or its web process ended (`started` true).
    std::function<void(bool started, const std::string& reason)> failed;
};

struct OverlayPlaces {
    std::filesystem::path pageFolder; // holds the page file
    std::filesystem::path dataFolder; // the web view's own storage
};

class OverlayView {
public:
    virtual ~OverlayView() = default;

    // The native window (an X window id here).
    virtual uintptr_t handle() const = 0;
    // Creates the web view, shows the window without taking the focus and
    // starts loading the page. Failures arrive through `failed`.
    virtual void load(const OverlayPlaces& places) = 0;
    // Moves the window's top-left corner; no resize, no restacking.
    virtual void moveTo(int32_t x, int32_t y) = 0;
    // Raises the window and moves the keyboard focus into the web view.
    virtual void focus() = 0;
    // Paces `frame` by the window's frame clock.
    virtual void startFrames() = 0;
    virtual void stopFrames() = 0;
    // Hands one message (JSON text) to the page's receiver.
    virtual void postToPage(const std::string& json) = 0;
};

// The monitor under the pointer (the primary one when none holds it).
MonitorArea monitorUnderPointer();

// Creates the overlay's window over `monitor`, its left edge at `x`; not yet
// shown. Null when no window system is available.
std::unique_ptr<OverlayView> createOverlayView(const MonitorArea& monitor, int32_t x, OverlayViewEvents events);

// Test builds install this to reach each new view's page (see the page
// probe of the tests); the program leaves it empty.
extern void (*gOverlayViewCreatedHook)(void* nativeWebView);

} // namespace krel
