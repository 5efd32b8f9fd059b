#include "ui/overlay.h"

#include "config/log.h"

namespace krel {

// The page and its window come with the web view; until then the overlay
// keeps its open state and log lines so that hotkey, tray and hand-over can
// be followed end to end.
Overlay::Overlay(RequestHandler handler) : handler_(std::move(handler)) {}

Overlay::~Overlay() { close(); }

void Overlay::show() {
    if (open_) return;
    open_ = true;
    logLine("Overlay: wird geöffnet");
}

void Overlay::hide() { close(); }

void Overlay::close() {
    if (!open_) return;
    open_ = false;
    window_ = 0;
    logLine("Overlay: geschlossen");
}

void Overlay::toggle() {
    if (open_) hide();
    else show();
}

void Overlay::post(const std::string&) {}

} // namespace krel
