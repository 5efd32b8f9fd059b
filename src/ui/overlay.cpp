#include "ui/overlay.h"

#include "config/atomic_file.h"
#include "config/data_directory.h"
#include "config/log.h"
#include "ui/overlay_page_html.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <system_error>

namespace krel {
namespace {

constexpr int32_t kPanelWidthAt96Dpi = 394;

int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Writes the page compiled into the program to "<data>/ui/overlay.html" on
// every open, so the page on disk always matches the program. Returns the
// page folder.
std::filesystem::path writePageFile() {
    const std::filesystem::path folder = dataDirectory() / "ui";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!replaceFileAtomically(folder / "overlay.html", kOverlayPageHtml))
        logLine("Overlay: Seite konnte nicht geschrieben werden");
    return folder;
}

} // namespace

int32_t panelWidthFor(int dpi) {
    // 394 × dpi / 96, rounded half away from zero in 64 bits.
    const int64_t scaled = int64_t{kPanelWidthAt96Dpi} * dpi;
    const int64_t rounded = scaled >= 0 ? (scaled + 48) / 96 : (scaled - 48) / 96;
    return static_cast<int32_t>(rounded);
}

double slideOffsetFactor(bool slideIn, double t) {
    const double left = slideIn ? 1.0 - t : t;
    return left * left * left;
}

bool isPageNotice(const std::string& text, const char* name) {
    return text.find(fmt::format("\"cmd\":\"{}\"", name)) != std::string::npos;
}

Overlay::Overlay(RequestHandler handler) : handler_(std::move(handler)) {}

Overlay::~Overlay() { close(); }

void Overlay::show() {
    if (view_) {
        view_->focus();
        return;
    }
    monitor_ = monitorUnderPointer();
    panelWidth_ = panelWidthFor(monitor_.dpi);
    const uint64_t generation = ++generation_;
    // Events of a view that has since been closed (or replaced) are dropped.
    auto current = [this, generation] { return view_ && generation == generation_; };
    OverlayViewEvents events;
    events.pageMessage = [this, current](const std::string& text) {
        if (current()) onPageMessage(text);
    };
    events.deactivated = [this, current] {
        if (current() && revealed_) hide();
    };
    events.frame = [this, current] {
        if (current()) slideStep();
    };
    events.failed = [this, current](bool started, const std::string& reason) {
        if (current()) onViewFailed(started, reason);
    };
    view_ = createOverlayView(monitor_, monitor_.left - panelWidth_, std::move(events));
    if (!view_) {
        logLine("Overlay: Web-Ansicht nicht verfügbar (kein Fenstersystem)");
        return;
    }
    revealed_ = false;
    closing_ = false;
    pageReady_ = false;
    queue_.clear();
    logLine("Overlay: wird geöffnet");
    setTimer(kReveal, kRevealFallbackMs, [this] { reveal(); });

    OverlayPlaces places;
    places.pageFolder = writePageFile();
    places.dataFolder = dataDirectory() / "webview";
    view_->load(places);
}

void Overlay::hide() {
    if (!view_) return;
    if (revealed_ && pageReady_) {
        if (closing_) return;
        closing_ = true;
        post(R"({"type":"hide"})");
        startSlide(false);
        setTimer(kCloseFallback, kCloseFallbackMs, [this] { close(); });
        return;
    }
    close();
}

void Overlay::close() {
    if (!view_) return;
    sliding_ = false;
    view_->stopFrames();
    for (int timer = 0; timer < kTimerCount; ++timer) killTimer(static_cast<Timer>(timer));
    closing_ = false;
    revealed_ = false;
    pageReady_ = false;
    queue_.clear();
    pageIds_.clear(); // late replies find no page
    logLine("Overlay: geschlossen");
    // Dropping the view destroys the window and the web view; its web
    // process ends with it.
    auto view = std::move(view_);
    view.reset();
}

void Overlay::toggle() {
    if (view_) hide();
    else show();
}

void Overlay::post(const std::string& json) {
    if (!view_) return;
    std::string message = json;
    if (!toPageIds(message)) return;
    if (pageReady_) {
        view_->postToPage(message);
        return;
    }
    if (queue_.size() < kMaxQueuedMessages) queue_.push_back(std::move(message));
}

std::string Overlay::toHostIds(const std::string& request) {
    nlohmann::json parsed = nlohmann::json::parse(request, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("id")) return request;
    const int64_t hostId = ++lastHostId_;
    pageIds_[hostId] = parsed["id"];
    parsed["id"] = hostId;
    return parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// False for a reply that is not for the page now open.
bool Overlay::toPageIds(std::string& reply) {
    if (reply.find("\"id\"") == std::string::npos) return true; // pushed messages carry none
    nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("id")) return true;
    const auto hostId = parsed["id"].is_number_integer() ? parsed["id"].get<int64_t>() : 0;
    const auto asked = pageIds_.find(hostId);
    if (asked == pageIds_.end()) return false;
    parsed["id"] = std::move(asked->second);
    pageIds_.erase(asked);
    reply = parsed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return true;
}

void Overlay::reveal() {
    if (!view_ || revealed_) return;
    revealed_ = true;
    logLine("Overlay: sichtbar");
    killTimer(kReveal);
    setTimer(kFocus, kFocusDelayMs, [this] { focusNow(); });
    post(R"({"type":"revealed"})");
    setTimer(kSlideDelay, kSlideDelayMs, [this] {
        killTimer(kSlideDelay);
        startSlide(true);
    });
}

void Overlay::focusNow() {
    killTimer(kFocus);
    if (view_) view_->focus();
}

void Overlay::startSlide(bool in) {
    if (!view_) return;
    slideIn_ = in;
    slideDurationMs_ = in ? kSlideInMs : kSlideOutMs;
    slideStartUs_ = nowMicros();
    sliding_ = true;
    view_->startFrames();
}

void Overlay::slideStep() {
    if (!view_ || !sliding_) return;
    const double t = std::min(1.0, static_cast<double>(nowMicros() - slideStartUs_) / 1000.0 / slideDurationMs_);
    const double offset = static_cast<double>(panelWidth_) * slideOffsetFactor(slideIn_, t);
    view_->moveTo(monitor_.left - static_cast<int32_t>(offset + 0.5), monitor_.top);
    if (t < 1.0) return;
    sliding_ = false;
    view_->stopFrames();
    if (!slideIn_) {
        // Closing from inside the view's own frame callback would destroy it
        // under its feet; the main loop does it next.
        closeFromEvent();
        return;
    }
    killTimer(kFocus);
    view_->focus();
    post(R"({"type":"slid"})");
}

void Overlay::onPageMessage(const std::string& text) {
    if (isPageNotice(text, "shown")) {
        reveal();
        return;
    }
    if (isPageNotice(text, "focus")) {
        focusNow();
        return;
    }
    if (isPageNotice(text, "hidden")) {
        closeFromEvent();
        return;
    }
    pageReady_ = true;
    const uint64_t generation = generation_;
    std::string reply = handler_(toHostIds(text));
    // The handler may have closed (or reopened) the overlay: "close".
    if (!view_ || generation != generation_) return;
    if (!reply.empty() && toPageIds(reply)) view_->postToPage(reply);
    while (view_ && !queue_.empty()) {
        view_->postToPage(queue_.front());
        queue_.pop_front();
    }
}

void Overlay::onViewFailed(bool started, const std::string& reason) {
    if (started) logLine(fmt::format("Overlay: beendet ({})", reason));
    else logLine(fmt::format("Overlay: Web-Ansicht nicht verfügbar ({})", reason));
    closeFromEvent();
}

void Overlay::closeFromEvent() {
    const uint64_t generation = generation_;
    runOnMain([this, generation, alive = std::weak_ptr<int>(alive_)] {
        if (!alive.expired() && generation == generation_) close();
    });
}

void Overlay::setTimer(Timer timer, unsigned ms, std::function<void()> action) {
    killTimer(timer);
    timers_[timer] = startTimer(ms, std::move(action));
}

void Overlay::killTimer(Timer timer) {
    stopTimer(timers_[timer]);
    timers_[timer] = 0;
}

} // namespace krel
