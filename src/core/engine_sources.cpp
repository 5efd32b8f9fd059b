// Starting capture: which source for each mode, following the game in the
// foreground, and starting the pipeline on a window or a monitor.

#include "core/engine.h"

#include "config/log.h"
#include "core/source_selection.h"
#include "media/audio_engine.h"
#include "media/capture.h"
#include "media/gpu_device.h"

#include <fmt/format.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace krel {

void Engine::start() {
    std::lock_guard lock(lock_);
    started_ = true;
    setError({});
    try {
        switch (settings_.mode) {
        case CaptureMode::Monitor:
            startOn(std::nullopt, monitorByIndex(windows(), settings_.monitorIndex));
            break;
        case CaptureMode::Window: {
            if (settings_.windowTitle.empty())
                throw std::runtime_error("Kein Fenster ausgewählt – unter Aufnahme ein Fenster wählen");
            const auto window = findWindowByTitle(windows(), settings_.windowTitle);
            if (!window) throw std::runtime_error("Ausgewähltes Fenster ist nicht offen");
            startOn(*window, std::nullopt);
            break;
        }
        case CaptureMode::Game:
            if (const auto game = detectGame(windows())) startOn(*game, std::nullopt);
            // Sound is buffered while no game runs.
            if (!audioEngine_->running()) audioEngine_->start(settings_);
            break;
        }
    } catch (const std::exception& e) {
        setError(e.what());
        logLine(fmt::format("Start fehlgeschlagen: {}", e.what()));
    }
}

void Engine::onForegroundChanged(WindowId window) {
    std::lock_guard lock(lock_);
    if (settings_.mode != CaptureMode::Game) return;
    if (sourceWindow_ && *sourceWindow_ == window) return;
    try {
        const auto game = detectGame(windows());
        if (game && *game == window) startOn(window, std::nullopt);
    } catch (const std::exception& e) {
        setError(e.what());
    }
}

void Engine::startOn(std::optional<WindowId> window, std::optional<MonitorInfo> monitor) {
    std::lock_guard lock(lock_);
    stopPipeline();
    try {
        if (!d3d_ || d3d_->gpu.encoderName.empty())
            d3d_ = std::make_unique<D3D>(createD3D(static_cast<uint32_t>(settings_.codec)));
        ++generation_;
        capture_ = std::make_unique<Capture>(*d3d_);
        capture_->onClosed = [this, generation = generation_] { onSourceClosed(generation); };
        sourceWindow_ = window;

        MonitorInfo target;
        WindowState described;
        if (window) {
            capture_->startWindow(*window, settings_.captureCursor);
            described = windows().describe(*window);
            setSourceName(described.title.empty() ? described.process : described.title);
            target = windows().monitorNearest(described.outer);
        } else {
            capture_->startMonitor(*monitor, settings_.captureCursor);
            setSourceName(fmt::format("Monitor {}", settings_.monitorIndex + 1));
            target = *monitor;
        }

        // Wait up to about a second for the first picture to learn its size.
        auto [width, height] = capture_->latestSize();
        for (int i = 0; i < 100 && width == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::tie(width, height) = capture_->latestSize();
        }
        if (width == 0) {
            width = window ? described.clientWidth : target.width;
            height = window ? described.clientHeight : target.height;
        }
        buildPipeline(width, height, target);
    } catch (...) {
        // Nothing half-built keeps running after a failed start.
        stopPipeline();
        throw;
    }
}

} // namespace krel
