#include "media/linux/x11_support.h"

#include "core/hr_error.h"
#include "core/text_utf8.h"

#include <fmt/format.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>

namespace krel::platform {

namespace {

std::mutex gDisplaysLock;
std::set<Display*>& ownDisplays() {
    static std::set<Display*> displays;
    return displays;
}
XErrorHandler gPreviousHandler = nullptr;
XIOErrorHandler gPreviousIoHandler = nullptr;
thread_local ErrorTrap* tTrap = nullptr;

bool ownDisplay(Display* d) {
    std::lock_guard lock(gDisplaysLock);
    return ownDisplays().count(d) != 0;
}

// A broken connection of ours must not end the process: returning here lets
// Xlib mark it dead and call our exit handler below.
int onIoError(Display* d) {
    if (ownDisplay(d)) return 0;
    return gPreviousIoHandler ? gPreviousIoHandler(d) : 0;
}

void onIoExit(Display*, void* flag) {
    // Returning marks the connection dead instead of ending the process.
    if (flag) static_cast<std::atomic<bool>*>(flag)->store(true);
}

size_t utf8Prefix(const std::string& s, size_t maxChars) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == maxChars) return i;
            ++chars;
        }
    }
    return s.size();
}

} // namespace

int onXError(Display* d, XErrorEvent* e) {
    for (ErrorTrap* t = tTrap; t; t = t->outer_) {
        if (t->dpy_ == d) {
            if (!t->error_) t->error_ = e->error_code;
            return 0;
        }
    }
    if (ownDisplay(d)) return 0; // late errors of our own requests: nothing to do
    return gPreviousHandler ? gPreviousHandler(d, e) : 0;
}

void DisplayClose::operator()(Display* d) const {
    unregisterDisplay(d);
    XCloseDisplay(d);
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

DisplayPtr openDisplayConnection(std::atomic<bool>* ioBroken) {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        gPreviousHandler = XSetErrorHandler(onXError);
        gPreviousIoHandler = XSetIOErrorHandler(onIoError);
    });
    DisplayPtr d(XOpenDisplay(nullptr));
    if (!d) throw std::runtime_error("XOpenDisplay(nullptr): keine Verbindung zum X-Server");
    XSetIOErrorExitHandler(d.get(), onIoExit, ioBroken);
    std::lock_guard lock(gDisplaysLock);
    ownDisplays().insert(d.get());
    return d;
}

void unregisterDisplay(Display* d) {
    std::lock_guard lock(gDisplaysLock);
    ownDisplays().erase(d);
}

void abandonDisplay(Display* d) {
    if (!d) return;
    unregisterDisplay(d);
    ::close(ConnectionNumber(d));
#if defined(__SANITIZE_ADDRESS__)
    __lsan_ignore_object(d);
#endif
}

ErrorTrap::ErrorTrap(Display* d) : dpy_(d), outer_(tTrap) { tTrap = this; }
ErrorTrap::~ErrorTrap() { tTrap = outer_; }

void ShmBuffer::ImageDestroy::operator()(XImage* img) const {
    img->data = nullptr; // the pixels belong to the segment
    XDestroyImage(img);
}

ShmBuffer::~ShmBuffer() {
    image_.reset();
    if (info_.shmaddr && info_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(info_.shmaddr);
}

void ShmBuffer::release(Display* d, bool detach) {
    image_.reset();
    if (attached_ && detach) {
        XShmDetach(d, &info_);
        XSync(d, False);
    }
    attached_ = false;
    if (info_.shmaddr && info_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(info_.shmaddr);
    info_ = XShmSegmentInfo{};
    capacity_ = 0;
}

void checkBgrx(int bitsPerPixel, unsigned long redMask, unsigned long greenMask, unsigned long blueMask) {
    if (bitsPerPixel == 32 && redMask == 0xFF0000 && greenMask == 0xFF00 && blueMask == 0xFF) return;
    throw std::runtime_error(
        fmt::format("Nicht unterstütztes Pixelformat ({} bit, Masken R {:X} G {:X} B {:X}; nur 8 Bit je Farbe)",
                    bitsPerPixel, redMask, greenMask, blueMask));
}

void ShmBuffer::ensure(Display* d, Visual* visual, int depth, uint32_t width, uint32_t height) {
    if (image_ && static_cast<uint32_t>(image_->width) == width && static_cast<uint32_t>(image_->height) == height)
        return;
    try {
        image_.reset();
        XImage* img = XShmCreateImage(d, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &info_, width, height);
        if (!img) throw HrError("XShmCreateImage(dpy, visual, depth, ZPixmap, nullptr, &info, w, h)", BadAlloc);
        image_.reset(img);
        if (img->byte_order != LSBFirst)
            throw std::runtime_error(fmt::format("Nicht unterstütztes Pixelformat ({} bit, MSB zuerst)", img->bits_per_pixel));
        checkBgrx(img->bits_per_pixel, img->red_mask, img->green_mask, img->blue_mask);
        const size_t need = static_cast<size_t>(img->bytes_per_line) * height;
        if (need > capacity_) attachSegment(d, visual, depth, width, height, need);
        image_->data = info_.shmaddr;
        image_->obdata = reinterpret_cast<char*>(&info_);
    } catch (...) {
        // No sized image without a segment behind it.
        release(d, attached_);
        throw;
    }
}

void ShmBuffer::attachSegment(Display* d, Visual* visual, int depth, uint32_t width, uint32_t height, size_t need) {
    release(d, true);
    image_.reset(XShmCreateImage(d, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &info_, width, height));
    if (!image_) throw HrError("XShmCreateImage(dpy, visual, depth, ZPixmap, nullptr, &info, w, h)", BadAlloc);
    // Room for growth, so that a window that grows a little does not make a
    // new segment each time.
    const size_t size = need + need / 4;
    info_.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (info_.shmid < 0) throw HrError("shmget(IPC_PRIVATE, size, IPC_CREAT | 0600)", -errno);
    info_.shmaddr = static_cast<char*>(shmat(info_.shmid, nullptr, 0));
    const int atErr = errno;
    shmctl(info_.shmid, IPC_RMID, nullptr); // gone with the last detach, even after a crash
    if (info_.shmaddr == reinterpret_cast<char*>(-1)) {
        info_.shmaddr = nullptr;
        throw HrError("shmat(shmid, nullptr, 0)", -atErr);
    }
    info_.readOnly = False;
    ErrorTrap trap(d);
    XShmAttach(d, &info_);
    XSync(d, False);
    if (trap.error()) throw HrError("XShmAttach(dpy, &info)", trap.error());
    attached_ = true;
    capacity_ = size;
}

std::vector<MonitorInfo> queryMonitors(Display* d) {
    std::vector<MonitorInfo> monitors;
    int event = 0, error = 0;
    const Window root = DefaultRootWindow(d);
    if (XRRQueryExtension(d, &event, &error)) {
        int count = 0;
        XRRMonitorInfo* raw = XRRGetMonitors(d, root, True, &count);
        std::unique_ptr<XRRMonitorInfo, void (*)(XRRMonitorInfo*)> list(raw, [](XRRMonitorInfo* m) {
            if (m) XRRFreeMonitors(m);
        });
        for (int i = 0; raw && i < count; ++i) {
            MonitorInfo m;
            m.index = static_cast<uint32_t>(monitors.size());
            std::unique_ptr<char, XFreeDeleter> name(XGetAtomName(d, raw[i].name));
            m.name = name ? name.get() : fmt::format("monitor{}", i);
            m.x = raw[i].x;
            m.y = raw[i].y;
            m.width = static_cast<uint32_t>(raw[i].width);
            m.height = static_cast<uint32_t>(raw[i].height);
            m.primary = raw[i].primary != 0;
            monitors.push_back(std::move(m));
        }
    }
    if (monitors.empty()) {
        MonitorInfo m;
        m.name = "screen";
        m.width = static_cast<uint32_t>(DisplayWidth(d, DefaultScreen(d)));
        m.height = static_cast<uint32_t>(DisplayHeight(d, DefaultScreen(d)));
        m.primary = true;
        monitors.push_back(m);
    }
    return monitors;
}

WindowDescription describeWindow(Display* d, Window w) {
    WindowDescription desc;
    ErrorTrap trap(d);
    // Properties are set by other programs: only the expected type and
    // format are used, and only as many items as the server returned.
    struct Property {
        std::unique_ptr<unsigned char, XFreeDeleter> data;
        unsigned long items = 0;
    };
    auto property = [&](Atom name, Atom type, int format) -> Property {
        Atom actual = 0;
        int actualFormat = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        const int rc = XGetWindowProperty(d, w, name, 0, 1024, False, type, &actual, &actualFormat, &items, &after,
                                          &data);
        Property p{std::unique_ptr<unsigned char, XFreeDeleter>(data), items};
        if (rc != Success || !data || actual != type || actualFormat != format || items == 0) return {};
        return p;
    };
    if (auto title = property(XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8);
        title.data) {
        desc.title = validUtf8({reinterpret_cast<const char*>(title.data.get()), title.items});
    } else if (auto name = property(XA_WM_NAME, XA_STRING, 8); name.data) {
        desc.title = latin1ToUtf8({reinterpret_cast<const char*>(name.data.get()), name.items});
    }
    desc.title.resize(utf8Prefix(desc.title, 255));
    if (auto pid = property(XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32); pid.data) {
        const auto value = *reinterpret_cast<const unsigned long*>(pid.data.get());
        std::error_code ec;
        const auto exe = std::filesystem::read_symlink(fmt::format("/proc/{}/exe", value), ec);
        if (!ec) {
            desc.process = exe.filename().string();
        } else {
            std::ifstream comm(fmt::format("/proc/{}/comm", value));
            std::getline(comm, desc.process);
        }
    }
    return desc;
}

} // namespace krel::platform
