#pragma once
// Xlib plumbing for the capture: owned handles, trapping of protocol errors
// per connection, a broken connection that ends the capture instead of the
// process, XShm buffers, monitors and window descriptions.

#include "media/capture_source.h"

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <memory>
#include <vector>

namespace krel::platform {

struct DisplayClose {
    void operator()(Display* d) const;
};
using DisplayPtr = std::unique_ptr<Display, DisplayClose>;

struct XFreeDeleter {
    void operator()(void* p) const {
        if (p) XFree(p);
    }
};
using XFixesCursorPtr = std::unique_ptr<XFixesCursorImage, XFreeDeleter>;
struct XImageDestroy {
    void operator()(XImage* img) const { XDestroyImage(img); }
};
using XImagePtr = std::unique_ptr<XImage, XImageDestroy>;

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void reset(int fd = -1);
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// Opens a connection of our own. Its protocol errors never end the process
// (they are trapped or ignored), and when the connection breaks `ioBroken`
// (may be null) is set instead of exiting. Throws when no display opens.
DisplayPtr openDisplayConnection(std::atomic<bool>* ioBroken);
// Forget a connection before it is closed.
void unregisterDisplay(Display* d);
// Gives up a connection that broke: Xlib cannot close it any more (its
// lock may be held), so only its socket is closed and its memory left.
void abandonDisplay(Display* d);

// Collects the first protocol error of this thread on `d` while it lives.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* d);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    int error() const { return error_; }

private:
    friend int onXError(Display*, XErrorEvent*);
    Display* dpy_;
    int error_ = 0;
    ErrorTrap* outer_;
};

// A shared-memory image, grown when needed and re-described when the grab
// size changes; reused across pictures.
// Throws a German runtime error naming the format unless an image of
// `bitsPerPixel` with these channel masks is 32-bit B, G, R, X in memory
// (8 bits each): deeper visuals (depth 30: 10 bits per channel) or other
// orders would come out in wrong colours.
void checkBgrx(int bitsPerPixel, unsigned long redMask, unsigned long greenMask, unsigned long blueMask);

class ShmBuffer {
public:
    ShmBuffer() = default;
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;
    ~ShmBuffer();
    // Throws HrError when the segment cannot be made or attached, or the
    // pixel format is not BGRX; the buffer is then empty (image() null), so
    // the next call tries again instead of using a half-made buffer.
    void ensure(Display* d, Visual* visual, int depth, uint32_t width, uint32_t height);
    // Detaches (from the server too when `detach`) and frees the segment.
    void release(Display* d, bool detach);
    XImage* image() const { return image_.get(); }

private:
    struct ImageDestroy {
        void operator()(XImage* img) const;
    };
    void attachSegment(Display* d, Visual* visual, int depth, uint32_t width, uint32_t height, size_t need);
    XShmSegmentInfo info_{};
    size_t capacity_ = 0;
    bool attached_ = false;
    std::unique_ptr<XImage, ImageDestroy> image_;
};

// Monitors by XRandR (active ones), or the whole screen without it.
std::vector<MonitorInfo> queryMonitors(Display* d);

// Title (_NET_WM_NAME or WM_NAME, at most 255 characters) and process image
// file name (through _NET_WM_PID).
WindowDescription describeWindow(Display* d, Window w);

} // namespace krel::platform
