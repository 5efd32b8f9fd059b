#include "x11_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

// libX11 1.8 unlocks a display's mutex twice when the server goes away under
// a call and the I/O error exit handler returns (which ours does, so that
// the process lives on). Harmless with the default mutex type, and not in
// our code; the tests of a vanishing server would otherwise stop here.
extern "C" const char* __tsan_default_suppressions() { return "mutex:libX11.so.6\n"; }

namespace krel::test {

namespace {

pid_t spawn(const std::vector<std::string>& argv, posix_spawn_file_actions_t* actions) {
    std::vector<char*> raw;
    for (const auto& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, raw[0], actions, nullptr, raw.data(), environ);
    if (rc != 0) throw std::runtime_error("posix_spawn " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

} // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, nullptr);
}

ChildProcess::~ChildProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void ChildProcess::waitEndedUnreaped() {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

std::filesystem::path copyProgramAs(const std::filesystem::path& program, const std::filesystem::path& folder,
                                    const std::string& name) {
    const auto target = folder / name;
    std::filesystem::copy_file(program, target, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(target, std::filesystem::perms::owner_all);
    return target;
}

Desktop::Desktop() : dpy_(platform::openDisplayConnection(nullptr)) { clearRoot(); }

Desktop::~Desktop() { clearRoot(); }

Atom Desktop::atom(const char* name) const { return XInternAtom(dpy_.get(), name, False); }

void Desktop::clearRoot() {
    Display* d = dpy_.get();
    XDeleteProperty(d, DefaultRootWindow(d), atom("_NET_ACTIVE_WINDOW"));
    XDeleteProperty(d, DefaultRootWindow(d), atom("_NET_CLIENT_LIST_STACKING"));
    XSync(d, False);
}

Window Desktop::create(const WindowSpec& shape) {
    Display* d = dpy_.get();
    const Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), shape.x_, shape.y_, shape.width_, shape.height_,
                                         shape.border_, BlackPixel(d, DefaultScreen(d)), WhitePixel(d, DefaultScreen(d)));
    if (!shape.title_.empty()) {
        XChangeProperty(d, w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(shape.title_.data()), static_cast<int>(shape.title_.size()));
    }
    if (shape.wmName_) XStoreName(d, w, shape.wmName_->c_str());
    if (shape.pid_) {
        const long pid = *shape.pid_;
        XChangeProperty(d, w, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pid), 1);
    }
    if (shape.map_) XMapWindow(d, w);
    XSync(d, False);
    return w;
}

Window Desktop::frame(Window client, int x, int y, unsigned width, unsigned height, int dx, int dy) {
    Display* d = dpy_.get();
    const Window f = XCreateSimpleWindow(d, DefaultRootWindow(d), x, y, width, height, 0,
                                         BlackPixel(d, DefaultScreen(d)), BlackPixel(d, DefaultScreen(d)));
    XReparentWindow(d, client, f, dx, dy);
    XMapWindow(d, client);
    XMapWindow(d, f);
    XSync(d, False);
    return f;
}

void Desktop::setWindowType(Window w, const std::vector<std::string>& types) {
    std::vector<Atom> atoms;
    for (const auto& t : types) atoms.push_back(atom(t.c_str()));
    XChangeProperty(dpy_.get(), w, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
    XSync(dpy_.get(), False);
}

void Desktop::setWmClass(Window w, const std::string& instance, const std::string& className) {
    const std::string both = instance + '\0' + className + '\0';
    setProperty(w, "WM_CLASS", "STRING", 8, both);
}

void Desktop::setProperty(Window w, const char* name, const char* type, int format, const std::string& bytes) {
    const int unit = format == 8 ? 1 : format == 16 ? static_cast<int>(sizeof(short)) : static_cast<int>(sizeof(long));
    XChangeProperty(dpy_.get(), w, atom(name), atom(type), format, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()) / unit);
    XSync(dpy_.get(), False);
}

void Desktop::destroy(Window w) {
    XDestroyWindow(dpy_.get(), w);
    XSync(dpy_.get(), False);
}

void Desktop::unmap(Window w) {
    XUnmapWindow(dpy_.get(), w);
    XSync(dpy_.get(), False);
}

void Desktop::raise(Window w) {
    XRaiseWindow(dpy_.get(), w);
    XSync(dpy_.get(), False);
}

void Desktop::setActive(std::optional<Window> w) {
    Display* d = dpy_.get();
    if (!w) {
        XDeleteProperty(d, DefaultRootWindow(d), atom("_NET_ACTIVE_WINDOW"));
    } else {
        const long value = static_cast<long>(*w);
        XChangeProperty(d, DefaultRootWindow(d), atom("_NET_ACTIVE_WINDOW"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&value), 1);
    }
    XSync(d, False);
}

void Desktop::setActiveNone() {
    Display* d = dpy_.get();
    const long value = 0;
    XChangeProperty(d, DefaultRootWindow(d), atom("_NET_ACTIVE_WINDOW"), XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&value), 1);
    XSync(d, False);
}

void Desktop::setStacking(const std::optional<std::vector<Window>>& bottomToTop) {
    Display* d = dpy_.get();
    if (!bottomToTop) {
        XDeleteProperty(d, DefaultRootWindow(d), atom("_NET_CLIENT_LIST_STACKING"));
    } else {
        const std::vector<long> values(bottomToTop->begin(), bottomToTop->end());
        XChangeProperty(d, DefaultRootWindow(d), atom("_NET_CLIENT_LIST_STACKING"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
    }
    XSync(d, False);
}

void Desktop::setWmState(Window w, long state) {
    const long values[2] = {state, 0};
    XChangeProperty(dpy_.get(), w, atom("WM_STATE"), atom("WM_STATE"), 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values), 2);
    XSync(dpy_.get(), False);
}

void Desktop::setNetWmState(Window w, const std::vector<std::string>& states) {
    std::vector<long> values;
    for (const auto& s : states) values.push_back(static_cast<long>(atom(s.c_str())));
    XChangeProperty(dpy_.get(), w, atom("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(values.data()), static_cast<int>(values.size()));
    XSync(dpy_.get(), False);
}

PrivateDisplay::PrivateDisplay(unsigned width, unsigned height) {
    if (const char* display = std::getenv("DISPLAY")) previous_ = display;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    platform::Fd readEnd, writeEnd;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    FileActions fa;
    posix_spawn_file_actions_adddup2(&fa.actions, writeEnd.get(), 3);
    posix_spawn_file_actions_addopen(&fa.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa.actions, 2, "/dev/null", O_WRONLY, 0);
    pid_ = spawn({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0", std::to_string(width) + "x" + std::to_string(height) + "x24",
                  "+extension", "RANDR", "-nolisten", "tcp"},
                 &fa.actions);
    writeEnd.reset();
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    char c = 0;
    pollfd p{readEnd.get(), POLLIN, 0};
    while (::poll(&p, 1, 20000) > 0 && ::read(readEnd.get(), &c, 1) == 1 && c != '\n') number.push_back(c);
    if (number.empty()) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        throw std::runtime_error("Xvfb did not report a display");
    }
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
}

PrivateDisplay::~PrivateDisplay() {
    if (previous_) {
        ::setenv("DISPLAY", previous_->c_str(), 1);
    } else {
        ::unsetenv("DISPLAY");
    }
    stop();
}

void PrivateDisplay::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

} // namespace krel::test
