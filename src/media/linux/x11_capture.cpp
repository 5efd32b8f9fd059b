// Screen and window capture on X11: XShm grabs of the root window at the
// monitor's XRandR geometry, XComposite for windows (their own pixels even
// when covered), XDamage to grab only after a change, XFixes for the cursor.

#include "core/clock.h"
#include "core/hr_error.h"
#include "core/thread_name.h"
#include "media/capture.h"
#include "media/linux/x11_support.h"

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <thread>

namespace krel::platform {
namespace {

// False once the server closed the connection (end of stream) or it failed.
bool socketAlive(int fd) {
    char byte = 0;
    const ssize_t r = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return r > 0 || (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

class X11Capture final : public CaptureSource {
public:
    X11Capture(CaptureSink& sink, bool cursor) : sink_(sink), cursor_(cursor) {}
    ~X11Capture() override;

    void openMonitor(const MonitorInfo& monitor);
    void openWindow(WindowId window, WindowDescription& description);
    void halt() override;

private:
    void openDisplay();
    void startThread();
    void run();
    void handle(const XEvent& ev, bool& dirty);
    bool grab(); // true when another picture should follow at once
    void renamePixmap();
    void compositeCursor(const BgraImage& picture);
    bool pointerMoved();
    bool monitorStillThere();

    CaptureSink& sink_;
    const bool cursor_;
    DisplayPtr dpy_;
    Fd wake_[2];
    std::atomic<bool> stop_{false};
    std::atomic<bool> ioBroken_{false};
    std::thread thread_;

    Window target_ = 0; // root or the window
    bool isWindow_ = false;
    MonitorInfo monitor_{};
    Visual* visual_ = nullptr;
    int depth_ = 24;
    bool mapped_ = true;
    bool closed_ = false;

    // Window capture: the named backing pixmap and its size (the buffer),
    // the window's current size (the content).
    Pixmap pixmap_ = 0;
    uint32_t bufW_ = 0, bufH_ = 0;
    uint32_t contentW_ = 0, contentH_ = 0;
    int border_ = 0;

    Damage damage_ = 0;
    int damageEvent_ = 0, randrEvent_ = 0, fixesEvent_ = 0;

    // Pictures come through shared memory; when a segment cannot be set up
    // (a server that cannot share memory with us), through plain XGetImage
    // requests into plain_ from then on.
    ShmBuffer buffers_[2];
    XImagePtr plain_[2];
    bool useShm_ = true;
    int next_ = 0;

    XFixesCursorPtr cursorImage_;
    bool cursorDirty_ = true;
    int pointerX_ = -1, pointerY_ = -1;
};

X11Capture::~X11Capture() {
    halt();
    if (!dpy_) return;
    Display* d = dpy_.get();
    if (!ioBroken_) {
        if (damage_) XDamageDestroy(d, damage_);
        if (pixmap_) XFreePixmap(d, pixmap_);
        if (isWindow_) {
            ErrorTrap trap(d); // the window may be gone
            XCompositeUnredirectWindow(d, target_, CompositeRedirectAutomatic);
            XSync(d, False);
        }
    }
    for (auto& b : buffers_) b.release(d, !ioBroken_);
    for (auto& p : plain_) p.reset();
    if (ioBroken_) abandonDisplay(dpy_.release());
}

void X11Capture::halt() {
    if (!thread_.joinable()) return;
    stop_.store(true);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1].get(), &byte, 1);
    thread_.join();
}

void X11Capture::openDisplay() {
    dpy_ = openDisplayConnection(&ioBroken_);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw HrError("pipe2(fds, O_CLOEXEC | O_NONBLOCK)", -errno);
    wake_[0].reset(fds[0]);
    wake_[1].reset(fds[1]);
    Display* d = dpy_.get();
    int major = 0, minor = 0;
    Bool pixmaps = False;
    if (!XShmQueryVersion(d, &major, &minor, &pixmaps)) throw std::runtime_error("XShmQueryVersion(dpy): MIT-SHM fehlt");
    int err = 0;
    if (!XDamageQueryExtension(d, &damageEvent_, &err)) throw std::runtime_error("XDamageQueryExtension(dpy): DAMAGE fehlt");
    if (cursor_) {
        if (!XFixesQueryExtension(d, &fixesEvent_, &err)) throw std::runtime_error("XFixesQueryExtension(dpy): XFIXES fehlt");
        XFixesSelectCursorInput(d, DefaultRootWindow(d), XFixesDisplayCursorNotifyMask);
    }
}

void X11Capture::openMonitor(const MonitorInfo& monitor) {
    openDisplay();
    Display* d = dpy_.get();
    monitor_ = monitor;
    target_ = DefaultRootWindow(d);
    XWindowAttributes attrs{};
    XGetWindowAttributes(d, target_, &attrs);
    visual_ = attrs.visual;
    depth_ = attrs.depth;
    checkBgrx(32, visual_->red_mask, visual_->green_mask, visual_->blue_mask);
    int err = 0;
    if (XRRQueryExtension(d, &randrEvent_, &err))
        XRRSelectInput(d, target_, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask | RRResourceChangeNotifyMask);
    damage_ = XDamageCreate(d, target_, XDamageReportNonEmpty);
    XSync(d, False);
    startThread();
}

void X11Capture::openWindow(WindowId window, WindowDescription& description) {
    openDisplay();
    Display* d = dpy_.get();
    isWindow_ = true;
    target_ = static_cast<Window>(window);
    int event = 0, err = 0;
    if (!XCompositeQueryExtension(d, &event, &err)) throw std::runtime_error("XCompositeQueryExtension(dpy): Composite fehlt");

    XWindowAttributes attrs{};
    {
        ErrorTrap trap(d);
        const Status ok = XGetWindowAttributes(d, target_, &attrs);
        XSync(d, False);
        if (!ok || trap.error()) throw HrError("XGetWindowAttributes(dpy, window, &attrs)", trap.error() ? trap.error() : BadWindow);
        XSelectInput(d, target_, StructureNotifyMask);
        XCompositeRedirectWindow(d, target_, CompositeRedirectAutomatic);
        damage_ = XDamageCreate(d, target_, XDamageReportNonEmpty);
        XSync(d, False);
        if (trap.error()) throw HrError("XCompositeRedirectWindow(dpy, window, CompositeRedirectAutomatic)", trap.error());
    }
    visual_ = attrs.visual;
    depth_ = attrs.depth;
    checkBgrx(32, visual_->red_mask, visual_->green_mask, visual_->blue_mask);
    border_ = attrs.border_width;
    contentW_ = static_cast<uint32_t>(attrs.width);
    contentH_ = static_cast<uint32_t>(attrs.height);
    mapped_ = attrs.map_state == IsViewable;
    if (mapped_) renamePixmap();
    description = describeWindow(d, target_);
    startThread();
}

void X11Capture::startThread() {
    thread_ = std::thread([this] { run(); });
}

// Names the window's current backing pixmap; the buffer size follows it.
void X11Capture::renamePixmap() {
    Display* d = dpy_.get();
    if (pixmap_) XFreePixmap(d, pixmap_);
    pixmap_ = 0;
    bufW_ = bufH_ = 0;
    ErrorTrap trap(d);
    const Pixmap p = XCompositeNameWindowPixmap(d, target_);
    Window root = 0;
    int x = 0, y = 0;
    unsigned w = 0, h = 0, bw = 0, depth = 0;
    const Status ok = XGetGeometry(d, p, &root, &x, &y, &w, &h, &bw, &depth);
    XSync(d, False);
    if (!ok || trap.error()) {
        if (!trap.error()) XFreePixmap(d, p);
        throw HrError("XCompositeNameWindowPixmap(dpy, window)", trap.error() ? trap.error() : BadMatch);
    }
    pixmap_ = p;
    const unsigned frame = 2u * static_cast<unsigned>(border_);
    bufW_ = w > frame ? w - frame : 0;
    bufH_ = h > frame ? h - frame : 0;
}

void X11Capture::run() {
    nameThisThread("krel-capture");
    using Clock = std::chrono::steady_clock;
    // Not every server announces a removed monitor by an event: look again
    // twice a second.
    constexpr auto kMonitorCheck = std::chrono::milliseconds(500);
    auto lastMonitorCheck = Clock::now();
    bool dirty = true;
    const int xfd = ConnectionNumber(dpy_.get());
    while (!stop_.load()) {
        if (!isWindow_ && !ioBroken_ && socketAlive(xfd) && Clock::now() - lastMonitorCheck >= kMonitorCheck) {
            lastMonitorCheck = Clock::now();
            const uint32_t w = monitor_.width, h = monitor_.height;
            if (!monitorStillThere()) closed_ = true;
            else if (w != monitor_.width || h != monitor_.height) dirty = true;
        }
        if (dirty && mapped_) {
            dirty = false;
            try {
                dirty = grab();
            } catch (const std::exception& e) {
                sink_.frameError(e.what());
            }
        }
        // Notice a vanished server on the socket before Xlib does: its own
        // recovery from a broken connection is not thread-clean.
        if (!socketAlive(xfd)) {
            ioBroken_ = true;
        } else if (XEventsQueued(dpy_.get(), QueuedAfterFlush) == 0) {
            pollfd fds[2] = {{xfd, POLLIN, 0}, {wake_[0].get(), POLLIN, 0}};
            ::poll(fds, 2, cursor_ ? 8 : 250);
            if (fds[1].revents != 0) break;
            if (fds[0].revents != 0 && !socketAlive(xfd)) ioBroken_ = true;
        }
        while (!ioBroken_ && !closed_ && XPending(dpy_.get()) > 0) {
            XEvent ev;
            XNextEvent(dpy_.get(), &ev);
            handle(ev, dirty);
        }
        if (ioBroken_) {
            sink_.frameError("Verbindung zum X-Server verloren");
            closed_ = true;
        }
        if (closed_) {
            sink_.closed();
            break;
        }
        if (cursor_ && mapped_ && pointerMoved()) dirty = true;
    }
}

void X11Capture::handle(const XEvent& ev, bool& dirty) {
    Display* d = dpy_.get();
    if (ev.type == damageEvent_ + XDamageNotify) {
        XDamageSubtract(d, damage_, 0, 0);
        dirty = true;
    } else if (cursor_ && ev.type == fixesEvent_ + XFixesCursorNotify) {
        cursorDirty_ = true;
        dirty = true;
    } else if (!isWindow_ && randrEvent_ && (ev.type == randrEvent_ + RRScreenChangeNotify || ev.type == randrEvent_ + RRNotify)) {
        XEvent copy = ev;
        XRRUpdateConfiguration(&copy);
        if (!monitorStillThere()) closed_ = true;
        dirty = true;
    } else if (isWindow_ && ev.xany.window == target_) {
        switch (ev.type) {
        case DestroyNotify:
            closed_ = true;
            break;
        case UnmapNotify:
            mapped_ = false;
            break;
        case MapNotify:
            mapped_ = true;
            try {
                renamePixmap();
            } catch (const std::exception& e) {
                sink_.frameError(e.what());
            }
            dirty = true;
            break;
        case ConfigureNotify:
            if (static_cast<uint32_t>(ev.xconfigure.width) != contentW_ ||
                static_cast<uint32_t>(ev.xconfigure.height) != contentH_) {
                contentW_ = static_cast<uint32_t>(ev.xconfigure.width);
                contentH_ = static_cast<uint32_t>(ev.xconfigure.height);
                dirty = true;
            }
            break;
        default:
            break;
        }
    }
}

// Re-reads the monitors after a RandR change: false when ours is gone;
// otherwise follows its new geometry.
bool X11Capture::monitorStillThere() {
    for (const auto& m : queryMonitors(dpy_.get())) {
        if (m.name != monitor_.name) continue;
        monitor_.x = m.x;
        monitor_.y = m.y;
        monitor_.width = m.width;
        monitor_.height = m.height;
        return m.width > 0 && m.height > 0;
    }
    return false;
}

bool X11Capture::grab() {
    Display* d = dpy_.get();
    uint32_t w = 0, h = 0;
    int sx = 0, sy = 0;
    Drawable src = 0;
    if (isWindow_) {
        if (!pixmap_) renamePixmap();
        std::tie(w, h) = copyExtent(bufW_, bufH_, contentW_, contentH_);
        src = pixmap_;
        sx = sy = border_;
    } else {
        w = monitor_.width;
        h = monitor_.height;
        src = target_;
        sx = monitor_.x;
        sy = monitor_.y;
    }
    if (w > 0 && h > 0) {
        if (useShm_) {
            try {
                buffers_[next_].ensure(d, visual_, depth_, w, h);
            } catch (const std::exception& e) {
                useShm_ = false;
                sink_.frameError(fmt::format("XShm nicht nutzbar, weiter mit XGetImage: {}", e.what()));
            }
        }
        XImage* image = nullptr;
        ErrorTrap trap(d);
        // The server reads the pixels when it handles the request.
        const int64_t grabbedAt = nowHns();
        if (useShm_) {
            image = buffers_[next_].image();
            const Bool ok = XShmGetImage(d, src, image, sx, sy, AllPlanes);
            if (!ok || trap.error())
                throw HrError("XShmGetImage(dpy, drawable, image, x, y, AllPlanes)", trap.error() ? trap.error() : BadImplementation);
        } else {
            plain_[next_].reset(XGetImage(d, src, sx, sy, w, h, AllPlanes, ZPixmap));
            image = plain_[next_].get();
            if (!image || trap.error())
                throw HrError("XGetImage(dpy, drawable, x, y, w, h, AllPlanes, ZPixmap)", trap.error() ? trap.error() : BadMatch);
            if (image->byte_order != LSBFirst) throw std::runtime_error("Nicht unterstütztes Pixelformat (MSB zuerst)");
            checkBgrx(image->bits_per_pixel, image->red_mask, image->green_mask, image->blue_mask);
        }
        const BgraImage picture{reinterpret_cast<const uint8_t*>(image->data), image->bytes_per_line, w, h,
                                grabbedAt};
        if (cursor_) compositeCursor(picture);
        sink_.publish(picture);
        next_ ^= 1;
    }
    // The window changed size: later pictures come from a pixmap of the new
    // size, and the next one is taken right away.
    if (isWindow_ && (contentW_ != bufW_ || contentH_ != bufH_)) {
        renamePixmap();
        return true;
    }
    return false;
}

bool X11Capture::pointerMoved() {
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (!XQueryPointer(dpy_.get(), target_, &root, &child, &rx, &ry, &wx, &wy, &mask)) return false;
    const int x = isWindow_ ? wx : rx - monitor_.x;
    const int y = isWindow_ ? wy : ry - monitor_.y;
    const bool moved = x != pointerX_ || y != pointerY_;
    pointerX_ = x;
    pointerY_ = y;
    return moved;
}

void X11Capture::compositeCursor(const BgraImage& picture) {
    if (cursorDirty_ || !cursorImage_) {
        cursorImage_.reset(XFixesGetCursorImage(dpy_.get()));
        cursorDirty_ = false;
    }
    if (!cursorImage_) return;
    pointerMoved();
    const XFixesCursorImage& c = *cursorImage_;
    auto* pixels = const_cast<uint8_t*>(picture.data);
    const int left = pointerX_ - c.xhot, top = pointerY_ - c.yhot;
    for (int cy = 0; cy < c.height; ++cy) {
        const int y = top + cy;
        if (y < 0 || y >= static_cast<int>(picture.height)) continue;
        for (int cx = 0; cx < c.width; ++cx) {
            const int x = left + cx;
            if (x < 0 || x >= static_cast<int>(picture.width)) continue;
            // Premultiplied ARGB in the low 32 bits.
            const auto argb = static_cast<uint32_t>(c.pixels[cy * c.width + cx]);
            const uint32_t a = argb >> 24;
            if (a == 0) continue;
            uint8_t* p = pixels + static_cast<std::ptrdiff_t>(y) * picture.stride + 4 * x;
            const uint32_t inv = 255 - a;
            p[0] = static_cast<uint8_t>(std::min<uint32_t>(255, (argb & 0xFF) + (p[0] * inv + 127) / 255));
            p[1] = static_cast<uint8_t>(std::min<uint32_t>(255, ((argb >> 8) & 0xFF) + (p[1] * inv + 127) / 255));
            p[2] = static_cast<uint8_t>(std::min<uint32_t>(255, ((argb >> 16) & 0xFF) + (p[2] * inv + 127) / 255));
        }
    }
}

} // namespace

std::vector<MonitorInfo> listMonitors() {
    DisplayPtr d = openDisplayConnection(nullptr);
    return queryMonitors(d.get());
}

std::unique_ptr<CaptureSource> openMonitorCapture(const MonitorInfo& monitor, bool cursor, CaptureSink& sink) {
    auto c = std::make_unique<X11Capture>(sink, cursor);
    c->openMonitor(monitor);
    return c;
}

std::unique_ptr<CaptureSource> openWindowCapture(WindowId window, bool cursor, CaptureSink& sink,
                                                 WindowDescription& description) {
    auto c = std::make_unique<X11Capture>(sink, cursor);
    c->openWindow(window, description);
    return c;
}

} // namespace krel::platform
