#pragma once
// The overlay: a panel with the program's page that slides in over the
// monitor under the pointer. One object for the life of the program; the
// window and its web view exist only while the overlay is open, and every
// open starts a fresh web view. Main thread only.
//
// Open → the page builds and sends "shown" (or 1500 ms pass) → revealed
// (the page fades its backdrop in; 150 ms later the panel slides in for
// 240 ms) → open, focused, "slid" sent → hide → "hide" sent, 170 ms slide
// out → closed. Closing before the page is ready closes at once.

#include "ui/main_loop.h"
#include "ui/overlay_view.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>

namespace krel {

// The panel's width on a monitor of `dpi`: 394 pixels at 96 DPI, scaled and
// rounded half away from zero.
int32_t panelWidthFor(int dpi);

// How far left of its resting place the panel is, as a share of its width,
// `t` (0..1) into a slide: (1 − t)³ sliding in, t³ sliding out.
double slideOffsetFactor(bool slideIn, double t);

// Finds the page's notices by the exact text its serialiser writes:
// "cmd":"<name>" without spaces.
bool isPageNotice(const std::string& text, const char* name);

class Overlay {
public:
    // The page's requests go to `handler` (request text → reply text; an
    // empty reply means the answer follows later through post).
    using RequestHandler = std::function<std::string(const std::string& request)>;

    static constexpr std::size_t kMaxQueuedMessages = 50;
    static constexpr unsigned kRevealFallbackMs = 1500; // timer 7
    static constexpr unsigned kCloseFallbackMs = 600;   // timer 8
    static constexpr unsigned kFocusDelayMs = 900;      // timer 9
    static constexpr unsigned kSlideDelayMs = 150;      // timer 10
    static constexpr double kSlideInMs = 240.0;
    static constexpr double kSlideOutMs = 170.0;

    explicit Overlay(RequestHandler handler);
    ~Overlay();
    Overlay(const Overlay&) = delete;
    Overlay& operator=(const Overlay&) = delete;

    // Opens the overlay, or brings an open one to the front.
    void show();
    // Closes with the slide-out when the page is up, otherwise at once.
    void hide();
    // Closes at once, without animation.
    void close();
    // The overlay hotkey: hide when open, else show.
    void toggle();
    // Delivers a message (JSON text) to the page; dropped while closed, held
    // (at most 50) until the page has sent its first request.
    void post(const std::string& json);
    // The window while the overlay is open, else 0.
    uintptr_t windowHandle() const { return view_ ? view_->handle() : 0; }

private:
    enum Timer { kReveal, kCloseFallback, kFocus, kSlideDelay, kTimerCount };

    void reveal();
    void startSlide(bool in);
    void slideStep();
    void onPageMessage(const std::string& text);
    void onViewFailed(bool started, const std::string& reason);
    void setTimer(Timer timer, unsigned ms, std::function<void()> action);
    void killTimer(Timer timer);
    void focusNow();
    void closeFromEvent();
    std::string toHostIds(const std::string& request);
    bool toPageIds(std::string& reply);

    RequestHandler handler_;
    std::unique_ptr<OverlayView> view_;
    uint64_t generation_ = 0; // tells events of a closed view from the current one's
    MonitorArea monitor_;
    int32_t panelWidth_ = 0;
    bool revealed_ = false;
    bool closing_ = false;
    bool pageReady_ = false;
    std::deque<std::string> queue_;
    // Each page numbers its requests from 1, and a reply from a worker may
    // outlive the page that asked. Requests therefore travel with ids that
    // are unique for the program's life; a reply finds its way back only to
    // the page that asked, and only once.
    int64_t lastHostId_ = 0;
    std::unordered_map<int64_t, nlohmann::json> pageIds_; // host id → the page's id

    bool sliding_ = false;
    bool slideIn_ = true;
    int64_t slideStartUs_ = 0;
    double slideDurationMs_ = kSlideInMs;

    TimerId timers_[kTimerCount] = {};
    // Tasks queued for later check this, so none reaches a destroyed overlay.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace krel
