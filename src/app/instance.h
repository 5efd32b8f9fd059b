#pragma once
// One running instance per user and mode, and the hand-over to it. On Linux
// the instance lock is an flock on "krel-play{suffix}.lock" and the running
// instance listens on the Unix socket "krel-play{suffix}.sock", both in
// $XDG_RUNTIME_DIR (else in a 0700 folder named after the user id under the
// temporary folder). The socket takes only peers of the same user and
// understands two lines: "open-overlay" and "close" (answered with "ok" once
// the instance has ended).

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace krel {

// The folder for lock and socket; empty (and logged) when none can be used
// safely, for example a fallback folder that another user owns.
std::filesystem::path instanceRuntimeDirectory();

class InstanceLock {
public:
    // Opens (creates) the lock file for the mode's suffix without locking.
    explicit InstanceLock(const std::string& suffix);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock if no other process holds it.
    bool tryLock();
    // Waits up to `timeout` for the holder to let go.
    bool waitLock(std::chrono::milliseconds timeout);
    void release();

private:
    int fd_ = -1;
    bool held_ = false;
};

// The running instance's end of the socket: listens while it exists and
// calls the handlers on the main thread. `onClose` gets a reply function to
// call once the instance has shut down (it may outlive the listener).
class InstanceListener {
public:
    using Reply = std::function<void()>;
    static std::unique_ptr<InstanceListener> start(const std::string& suffix, std::function<void()> onOpenOverlay,
                                                   std::function<void(Reply)> onClose);
    virtual ~InstanceListener() = default;
};

// A second start's side: sends "open-overlay" (no answer awaited). False
// when no instance listens.
bool askRunningToOpenOverlay(const std::string& suffix);
// Sends "close" and waits up to `timeout` for the instance to end.
void closeRunningInstance(const std::string& suffix, std::chrono::milliseconds timeout);

} // namespace krel
