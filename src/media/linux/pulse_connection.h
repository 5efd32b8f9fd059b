#pragma once
// A libpulse connection driven by its owner's thread: a plain (not threaded)
// main loop and one context. Every wait is bounded: operations that outlive
// their wait are cancelled, so no callback ever reaches a finished caller.
// Used by one thread at a time; no locks.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace krel::pulse {

struct MainloopFree {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextFree {
    void operator()(pa_context* c) const;
};
struct StreamFree {
    void operator()(pa_stream* s) const;
};
struct OperationFree {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using MainloopPtr = std::unique_ptr<pa_mainloop, MainloopFree>;
using ContextPtr = std::unique_ptr<pa_context, ContextFree>;
using StreamPtr = std::unique_ptr<pa_stream, StreamFree>;
using OperationPtr = std::unique_ptr<pa_operation, OperationFree>;

struct SourceEntry {
    std::string name;        // the device id
    std::string description; // display name, may be empty
    bool isMonitor = false;  // monitor of a playback device
};

class PulseConnection {
public:
    PulseConnection();
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // True when the context is ready; otherwise drops a failed context and
    // makes one new attempt, waiting at most `timeoutMs`.
    bool connect(int timeoutMs);
    bool ready() const;
    pa_context* context() const { return ctx_.get(); }

    // Dispatches what is pending without waiting.
    void dispatch();

    // Runs the loop until done() or the time is up; false on timeout or when
    // the loop fails.
    template <class Done> bool waitUntil(Done done, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            if (!iterateOnce(static_cast<int>(left))) return false;
        }
        return true;
    }
    // Waits for an operation; cancels it when it does not finish in time.
    bool finish(pa_operation* op, int timeoutMs);

    // Server queries; nullopt when not connected or the server does not
    // answer (or, for the by-name queries, the device does not exist).
    struct ServerInfo {
        std::string defaultSink;
        std::string defaultSource;
    };
    std::optional<ServerInfo> serverInfo();
    std::optional<SourceEntry> source(const std::string& name);
    std::optional<std::string> sinkMonitor(const std::string& sinkName);
    std::optional<std::vector<SourceEntry>> sources();

    // Opens a recording stream of 48 kHz stereo float from `device`; null
    // when it does not become ready within `timeoutMs`.
    StreamPtr record(const std::string& device, const char* streamName, int timeoutMs);

private:
    bool iterateOnce(int timeoutUs);

    MainloopPtr loop_;
    ContextPtr ctx_;
};

} // namespace krel::pulse
