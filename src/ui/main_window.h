#pragma once
// The hub of the user-interface host, living on the main thread: it owns the
// engine, the overlay, the tray icon and the hotkey grabs, carries out the
// five user actions and the settings take-over, runs the periodic timers and
// handles every notification that other threads post (toasts, page messages,
// the restart after an update).
//
// Other threads never call it directly: they use the post* functions below,
// which queue the work for the main loop together with an owned copy of the
// text. Work posted while no main window exists (before start-up created it
// or after it was destroyed) is dropped.

#include "config/settings.h"
#include "core/engine.h"
#include "ui/hotkeys.h"
#include "ui/overlay.h"
#include "ui/toast_kind.h"
#include "ui/tray_icon.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace krel {

// Any thread.
void postToast(std::string text, ToastKind kind);
void postToPage(std::string json);
void postUpdateChanged();
void postRestart();
void postOpenOverlay();

class MainWindow {
public:
    // `settings` is the program-wide record; `restart` starts the program
    // again after an update (the main window destroys itself afterwards).
    MainWindow(Settings& settings, std::function<void()> restart);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Start-up hands over the program-wide objects in this order.
    void setEngine(std::unique_ptr<Engine> engine);
    void createOverlayAndTray(Overlay::RequestHandler handler);
    void startTimers();
    // Follows the desktop's foreground window for the game detection.
    void watchForeground();

    Engine* engine() { return engine_.get(); }
    std::unique_ptr<Engine> takeEngine();
    Overlay* overlay() { return overlay_.get(); }
    std::unique_ptr<Overlay> takeOverlay();
    Settings& settings() { return settings_; }
    const std::vector<std::string>& hotkeyConflicts() const { return conflicts_; }

    // Makes `s` the program's settings: saves them, grabs the hotkeys,
    // writes autostart when installed, hands them to the engine.
    void applySettings(const Settings& s);

    void actClip();
    void toggleReplay();
    void toggleRecord();
    void togglePause();
    void toggleMic();

    // Also receives every message for the page (main thread); for the tests
    // and for tools that follow the page's traffic.
    void setPageObserver(std::function<void(const std::string&)> observer) { pageObserver_ = std::move(observer); }

    // Notifications (main thread).
    void onHotkey(int id);
    void onMenuCommand(int id);
    void onToast(const std::string& text, ToastKind kind);
    void onToPage(const std::string& json);
    void onUpdateChanged();
    void onRestart();

    // Ends the program: releases the hotkeys, closes the overlay, removes the
    // tray icon and leaves the main loop. Idempotent.
    void destroy();
    bool destroyed() const { return destroyed_; }

private:
    void onStateTimer();
    void onFirstUpdateTimer();
    void onUpdateTimer();
    void refreshTray();

    Settings& settings_;
    std::function<void()> restart_;
    std::unique_ptr<Engine> engine_;
    std::unique_ptr<Overlay> overlay_;
    std::unique_ptr<TrayIcon> tray_;
    std::unique_ptr<HotkeyGrabber> hotkeys_;
    std::unique_ptr<WindowSystem::Watch> foregroundWatch_;
    std::vector<std::string> conflicts_;
    std::function<void(const std::string&)> pageObserver_;
    unsigned timer1_ = 0, timer2_ = 0, timer3_ = 0;
    bool destroyed_ = false;
};

// The program's main window while it exists (main thread).
MainWindow* mainWindow();

} // namespace krel
