#include "desktop_program.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>

extern char** environ;

namespace krel::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string readText(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return pred();
}

DesktopProgram::DesktopProgram(const fs::path& program, const fs::path& data, const std::vector<std::string>& args,
                               const std::vector<std::string>& env) {
    std::vector<std::string> envs{"KREL_PLAY_PORTABLE=1", "KREL_PLAY_DATA_DIR=" + data.string(),
                                  "KREL_PLAY_UPDATE_URL=http://127.0.0.1:9/"};
    envs.insert(envs.end(), env.begin(), env.end());
    for (char** e = environ; *e; ++e) {
        const std::string_view v(*e);
        if (v.rfind("KREL_PLAY_", 0) != 0) envs.emplace_back(v);
    }
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvText{program.string()};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = (data / "stdout.txt").string();
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("posix_spawn failed");
}

DesktopProgram::~DesktopProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

int DesktopProgram::wait(std::chrono::milliseconds limit) {
    int status = 0;
    const bool done = waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
    if (!done) return -1000;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void DesktopProgram::signal(int sig) { ::kill(pid_, sig); }

double DesktopProgram::rssMiB() const {
    std::istringstream status(readText("/proc/" + std::to_string(pid_) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

double DesktopProgram::cpuSeconds(bool mainThreadOnly) const {
    const std::string pid = std::to_string(pid_);
    const std::string stat = readText(mainThreadOnly ? "/proc/" + pid + "/task/" + pid + "/stat" : "/proc/" + pid + "/stat");
    // Fields after the command name, which may hold blanks: utime and
    // stime are the 12th and 13th of them.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 1; i <= 13 && rest >> field; ++i)
        if (i >= 12) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TestDisplay::TestDisplay() : dpy_(XOpenDisplay(nullptr)) {
    if (!dpy_) throw std::runtime_error("no display");
    // Windows come and go while the test looks at them (a toast expires):
    // a request about a vanished window fails quietly instead of ending
    // the test process.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
}

TestDisplay::~TestDisplay() { XCloseDisplay(dpy_); }

void TestDisplay::tapKey(unsigned long keysym, bool alt) {
    const KeyCode altCode = XKeysymToKeycode(dpy_, XK_Alt_L);
    const KeyCode code = XKeysymToKeycode(dpy_, keysym);
    if (alt) XTestFakeKeyEvent(dpy_, altCode, True, 0);
    XTestFakeKeyEvent(dpy_, code, True, 0);
    XTestFakeKeyEvent(dpy_, code, False, 0);
    if (alt) XTestFakeKeyEvent(dpy_, altCode, False, 0);
    XSync(dpy_, False);
}

std::optional<ToastOnScreen> TestDisplay::toast() {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(dpy_, DefaultRootWindow(dpy_), &root, &parent, &children, &count);
    std::optional<ToastOnScreen> found;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (!XGetWindowAttributes(dpy_, children[i], &a) || !a.override_redirect || a.map_state != IsViewable)
            continue;
        std::optional<std::string> title;
        XTextProperty prop;
        // The title as UTF-8 (_NET_WM_NAME), else the Latin-1 WM_NAME.
        if (XGetTextProperty(dpy_, children[i], &prop, XInternAtom(dpy_, "_NET_WM_NAME", False)) && prop.value) {
            title.emplace(reinterpret_cast<char*>(prop.value), prop.nitems);
            XFree(prop.value);
        } else if (char* name = nullptr; XFetchName(dpy_, children[i], &name) && name) {
            title.emplace(name);
            XFree(name);
        }
        if (title) found = ToastOnScreen{*title, a.x, a.y, a.width, a.height};
    }
    if (children) XFree(children);
    return found;
}

uint32_t TestDisplay::pixel(int x, int y) {
    XImage* img = XGetImage(dpy_, DefaultRootWindow(dpy_), x, y, 1, 1, AllPlanes, ZPixmap);
    if (!img) return 0;
    const uint32_t p = static_cast<uint32_t>(XGetPixel(img, 0, 0)) & 0xFFFFFF;
    XDestroyImage(img);
    return p;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<pid_t> webProcesses(pid_t parent) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string comm = readText(entry.path() / "comm");
        const std::string stat = readText(entry.path() / "stat");
        const size_t close = stat.rfind(')');
        if (comm.rfind("WebKitWebProces", 0) != 0 || close == std::string::npos) continue;
        // "pid (comm) state ppid ..."
        if (std::atoi(stat.c_str() + close + 4) == parent) found.push_back(std::atoi(entry.path().filename().c_str()));
    }
    return found;
}

std::optional<std::string> evalInPage(const std::filesystem::path& socket, const std::string& body) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        std::string line = body; // one line: the probe reads up to the first break
        for (char& c : line)
            if (c == '\n') c = ' ';
        line += '\n';
        if (::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (reply.empty() || reply.back() != '\n') return std::nullopt;
    reply.pop_back();
    return reply;
}

} // namespace krel::test
