#pragma once
// The desktop program as the end-to-end tests drive it: started as a child
// in portable mode with a data folder of the test's, keys pressed through
// XTEST on the test display, toasts found among the display's windows.

#include <X11/Xlib.h>

#include <chrono>
#include <sys/types.h>
#include <functional>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace krel::test {

std::string readText(const std::filesystem::path& p);
// How often `what` occurs in `text` (log lines, say).
size_t count(const std::string& text, const std::string& what);
// Polls `pred` every 50 ms until it holds or `limit` has passed.
bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = std::chrono::seconds(20));

class DesktopProgram {
public:
    // Starts `program` with the data folder `data` (stdout and stderr go to
    // data/stdout.txt); the program's own variables come only from `env`
    // ("NAME=value").
    DesktopProgram(const std::filesystem::path& program, const std::filesystem::path& data,
                   const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    ~DesktopProgram(); // kills a still running child
    // Waits for the exit; the exit code, or -signal when it was killed.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void signal(int sig);
    pid_t pid() const { return pid_; }
    // Resident memory in MiB and CPU seconds (user + system) so far, of the
    // whole process or of its main thread.
    double rssMiB() const;
    double cpuSeconds(bool mainThreadOnly = false) const;

private:
    pid_t pid_ = -1;
};

// Runs `body` (the body of an async JavaScript function) in the open
// overlay's page of the tests' build of the program, listening on `socket`;
// its result as JSON, "null" without an overlay, nullopt when the program
// cannot be reached.
// The WebKit web processes whose parent is `parent`.
std::vector<pid_t> webProcesses(pid_t parent);

std::optional<std::string> evalInPage(const std::filesystem::path& socket, const std::string& body);

struct ToastOnScreen {
    std::string text;
    int x = 0, y = 0, width = 0, height = 0;
};

// The test's own display connection.
class TestDisplay {
public:
    TestDisplay();
    ~TestDisplay();
    Display* get() const { return dpy_; }
    void tapKey(unsigned long keysym, bool alt = false);
    // The mapped override-redirect window carrying a title, if any.
    std::optional<ToastOnScreen> toast();
    // 0xRRGGBB of one screen pixel.
    uint32_t pixel(int x, int y);

private:
    Display* dpy_;
};

} // namespace krel::test
