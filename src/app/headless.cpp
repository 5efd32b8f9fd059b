#include "app/headless.h"

#include "config/log.h"
#include "config/settings.h"
#include "config/utf8_path.h"
#include "core/engine.h"
#include "core/text_utf8.h"

#include <fmt/format.h>

extern "C" {
#include <libavutil/log.h>
}

#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace krel {
namespace {

volatile std::sig_atomic_t gClip = 0;
volatile std::sig_atomic_t gRecord = 0;
volatile std::sig_atomic_t gQuit = 0;
int gWake = -1; // eventfd that wakes the main loop

void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(gWake, &one, sizeof one); // async-signal-safe
}

void onSignal(int sig) {
    if (sig == SIGUSR1) gClip = 1;
    else if (sig == SIGUSR2) gRecord = 1;
    else gQuit = 1;
    wake();
}

std::mutex gOut;

// One line on standard output; clip jobs print from their own threads.
void say(const std::string& line) {
    std::lock_guard lock(gOut);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int runHeadless() {
    gWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (gWake < 0) {
        say("Fehler: eventfd nicht verfügbar");
        return 1;
    }
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGUSR1, SIGUSR2, SIGINT, SIGTERM}) sigaction(sig, &sa, nullptr);

    // Only errors from the media libraries on the terminal, not their
    // per-encoder statistics.
    av_log_set_level(AV_LOG_ERROR);
    const Settings settings = loadSettings();
    int exitCode = 0;
    {
        Engine engine;
        engine.setSettings(settings);
        engine.start();
        logLine("Headless gestartet");

        // Foreground changes arrive on the watcher's thread and are handed to
        // the main loop, which alone calls the engine.
        std::mutex fgMutex;
        std::deque<WindowId> foreground;
        std::unique_ptr<WindowSystem::Watch> watch;
        try {
            watch = engine.windows().watchForeground([&](WindowId w) {
                {
                    std::lock_guard lock(fgMutex);
                    foreground.push_back(w);
                }
                wake();
            });
        } catch (const std::exception& e) {
            say(fmt::format("Fensterwechsel werden nicht verfolgt: {}", e.what()));
        }

        EngineStatus st = engine.status();
        say(fmt::format("KREL Play läuft ({}, Videobeweis {}) – SIGUSR1: Clip, SIGUSR2: Aufnahme, SIGINT: Beenden",
                        st.mode, settings.replayEnabled ? "an" : "aus"));
        std::string lastError, lastSource;
        bool recording = false;
        // A recording that ended: its file when one was written; otherwise
        // (stopped while still armed, or the file could not be opened) the
        // engine's error, if there is one.
        std::string lastRecording = st.lastRecording;
        const auto recordingEnded = [&](const EngineStatus& now) {
            if (now.lastRecording != lastRecording) {
                lastRecording = now.lastRecording;
                say("Aufnahme gespeichert: " + now.lastRecording);
            } else if (!now.error.empty() && now.error != lastError) {
                say("Fehler: " + now.error);
                lastError = now.error;
            }
        };
        while (!gQuit) {
            pollfd pfd{gWake, POLLIN, 0};
            ::poll(&pfd, 1, 500);
            uint64_t drained = 0;
            [[maybe_unused]] const ssize_t n = ::read(gWake, &drained, sizeof drained);

            std::deque<WindowId> changes;
            {
                std::lock_guard lock(fgMutex);
                changes.swap(foreground);
            }
            for (WindowId w : changes) engine.onForegroundChanged(w);
            if (gClip) {
                gClip = 0;
                engine.saveClip([](const std::filesystem::path& path, const std::string& error) {
                    say(error.empty() ? "Clip gespeichert: " + utf8FromPath(path) : error);
                });
            }
            if (gRecord) {
                gRecord = 0;
                if (engine.status().recording) {
                    engine.stopRecording();
                } else {
                    engine.startRecording();
                    say("Aufnahme gestartet");
                }
            }

            st = engine.status();
            if (recording && !st.recording) recordingEnded(st);
            recording = st.recording;
            if (st.source != lastSource && !st.source.empty()) say("Quelle: " + printable(st.source));
            lastSource = st.source;
            if (st.error != lastError && !st.error.empty()) say("Fehler: " + st.error);
            lastError = st.error;
        }
        watch.reset();
        engine.stopRecording();
        if (recording) recordingEnded(engine.status());
        say("Beende …");
    } // the engine waits for running clip jobs
    logLine("Headless beendet");
    ::close(gWake);
    return exitCode;
}

} // namespace krel
