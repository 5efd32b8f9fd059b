#include "ui/main_window.h"

#include "app/update.h"
#include "config/log.h"
#include "ui/main_loop.h"
#include "ui/page_messages.h"
#include "ui/toast_window.h"

#include <fmt/format.h>

namespace krel {
namespace {

MainWindow* gMainWindow = nullptr;

constexpr unsigned kStateTimerMs = 500;
constexpr unsigned kFirstUpdateTimerMs = 60'000;
constexpr unsigned kUpdateTimerMs = 900'000;

// Queues `handler` for the main window; dropped when there is none by then.
void post(std::function<void(MainWindow&)> handler) {
    runOnMain([handler = std::move(handler)] {
        if (gMainWindow && !gMainWindow->destroyed()) handler(*gMainWindow);
    });
}

} // namespace

MainWindow* mainWindow() { return gMainWindow; }

void postToast(std::string text, ToastKind kind) {
    post([text = std::move(text), kind](MainWindow& w) { w.onToast(text, kind); });
}

void postToPage(std::string json) {
    if (json.empty()) return;
    post([json = std::move(json)](MainWindow& w) { w.onToPage(json); });
}

void postUpdateChanged() {
    post([](MainWindow& w) { w.onUpdateChanged(); });
}

void postRestart() {
    post([](MainWindow& w) { w.onRestart(); });
}

void postOpenOverlay() {
    post([](MainWindow& w) {
        if (w.overlay()) w.overlay()->show();
    });
}

MainWindow::MainWindow(Settings& settings, std::function<void()> restart)
    : settings_(settings), restart_(std::move(restart)) {
    gMainWindow = this;
    // Update news from the worker threads reach the main window as posts.
    UpdateEvents events;
    events.checkReply = [](bool newer, const UpdateInfo& info, const std::string& error, int64_t requestId) {
        postToPage(buildUpdateCheckReply(newer, info, error, requestId));
    };
    events.updateChanged = [] { postUpdateChanged(); };
    events.restart = [] { postRestart(); };
    events.installFailed = [](const std::string& text) { postToPage(buildToastMessage(text).dump()); };
    setUpdateEvents(std::move(events));
    hotkeys_ = createHotkeyGrabber([this](int id) { onHotkey(id); });
}

MainWindow::~MainWindow() {
    destroy();
    if (gMainWindow == this) gMainWindow = nullptr;
}

void MainWindow::setEngine(std::unique_ptr<Engine> engine) { engine_ = std::move(engine); }

std::unique_ptr<Engine> MainWindow::takeEngine() {
    foregroundWatch_.reset(); // it calls into the engine's window system
    return std::move(engine_);
}

std::unique_ptr<Overlay> MainWindow::takeOverlay() { return std::move(overlay_); }

void MainWindow::createOverlayAndTray(Overlay::RequestHandler handler) {
    overlay_ = std::make_unique<Overlay>(std::move(handler));
    TrayMenuState state{settings_.replayEnabled, false, settings_.micMuted};
    tray_ = createTrayIcon(state, {[this](int id) { onMenuCommand(id); },
                                   [this] {
                                       if (overlay_) overlay_->show();
                                   }});
}

void MainWindow::startTimers() {
    timer1_ = startTimer(kStateTimerMs, [this] { onStateTimer(); });
    timer2_ = startTimer(kFirstUpdateTimerMs, [this] { onFirstUpdateTimer(); });
}

void MainWindow::watchForeground() {
    if (!engine_) return;
    try {
        foregroundWatch_ = engine_->windows().watchForeground([](WindowId window) {
            // From the watcher's thread to the main thread, which alone calls
            // the engine. The overlay's own window is never a game.
            post([window](MainWindow& w) {
                if (!w.engine() || window == 0) return;
                if (w.overlay() && w.overlay()->windowHandle() == window) return;
                w.engine()->onForegroundChanged(window);
            });
        });
    } catch (const std::exception& e) {
        logLine(fmt::format("Fensterwechsel werden nicht verfolgt: {}", e.what()));
    }
}

void MainWindow::onHotkey(int id) {
    switch (id) {
    case 1: actClip(); break;
    case 2: toggleRecord(); break;
    case 3: toggleMic(); break;
    case 4: toggleReplay(); break;
    case 5: togglePause(); break;
    case 6:
        if (overlay_) overlay_->toggle();
        break;
    default: break;
    }
}

void MainWindow::onMenuCommand(int id) {
    switch (id) {
    case kMenuOpen:
        if (overlay_) overlay_->show();
        break;
    case kMenuReplay: toggleReplay(); break;
    case kMenuClip: actClip(); break;
    case kMenuRecordStart:
    case kMenuRecordStop: toggleRecord(); break;
    case kMenuMic: toggleMic(); break;
    case kMenuQuit: destroy(); break;
    default: break;
    }
}

void MainWindow::onToast(const std::string& text, ToastKind kind) { showToast(text, kind); }

void MainWindow::onToPage(const std::string& json) {
    if (json.empty()) return;
    if (pageObserver_) pageObserver_(json);
    if (overlay_) overlay_->post(json);
}

void MainWindow::onUpdateChanged() {
    const UpdateState state = updateState();
    if (!state.available.version.empty() && tray_) tray_->setTitle(trayTitle(state.available.version));
    onToPage(buildUpdateMessage().dump());
}

void MainWindow::onRestart() {
    takeEngine().reset(); // a running recording is finished first
    if (restart_) restart_();
    destroy();
}

void MainWindow::onStateTimer() {
    if (!engine_) return;
    const EngineStatus status = engine_->status();
    if (tray_) tray_->setMenuState({settings_.replayEnabled, status.recording, status.micMuted});
    if (overlay_ && overlay_->windowHandle() != 0)
        overlay_->post(buildStateMessage(status).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void MainWindow::refreshTray() {
    if (!tray_ || !engine_) return;
    const EngineStatus status = engine_->status();
    tray_->setMenuState({settings_.replayEnabled, status.recording, status.micMuted});
}

void MainWindow::onFirstUpdateTimer() {
    stopTimer(timer2_);
    timer2_ = 0;
    timer3_ = startTimer(kUpdateTimerMs, [this] { onUpdateTimer(); });
    onUpdateTimer();
}

void MainWindow::onUpdateTimer() {
    if (settings_.autoUpdate) checkForUpdate(0);
}

void MainWindow::destroy() {
    if (destroyed_) return;
    destroyed_ = true;
    for (unsigned* t : {&timer1_, &timer2_, &timer3_}) {
        stopTimer(*t);
        *t = 0;
    }
    if (hotkeys_) unregisterHotkeys(*hotkeys_);
    hotkeys_.reset();
    if (overlay_) overlay_->close();
    tray_.reset();
    dismissToast();
    quitMainLoop();
}

} // namespace krel
