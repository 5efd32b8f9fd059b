#pragma once
// The overlay: a panel with the program's page that slides in over the
// monitor under the pointer. One object for the life of the program; the
// window itself exists only while the overlay is open. Main thread only.

#include <cstdint>
#include <functional>
#include <string>

namespace krel {

class Overlay {
public:
    // The page's requests go to `handler` (request text → reply text; an
    // empty reply means the answer follows later through post).
    using RequestHandler = std::function<std::string(const std::string& request)>;

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
    // Delivers a message (JSON text) to the page; dropped while closed.
    void post(const std::string& json);
    // The window while the overlay is open, else 0.
    uintptr_t windowHandle() const { return window_; }

private:
    RequestHandler handler_;
    uintptr_t window_ = 0;
    bool open_ = false;
};

} // namespace krel
