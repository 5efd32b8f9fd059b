// The five user actions shared by hotkeys, tray menu and overlay, and the
// settings take-over. Each runs on the main thread; the notices are posted,
// so they show after the current event has been handled.

#include "app/install.h"
#include "config/data_directory.h"
#include "config/utf8_path.h"
#include "ui/main_window.h"
#include "ui/page_messages.h"
#include "ui/sound_cues.h"

#include <fmt/format.h>

namespace krel {
namespace {

constexpr int kCueClip = 0;
constexpr int kCueRecordStart = 1;
constexpr int kCueRecordStop = 2;

// The clip's completion: a notice, the chime and the page's toast. Runs on
// the clip writer's thread (or at once when the engine refuses), so it only
// posts. The replay length and the sound flag are taken when the clip was
// asked for, so the writer's thread never reads the live settings.
void onClipSaved(const std::filesystem::path& path, const std::string& error, uint32_t replaySeconds,
                 bool sounds) {
    if (!error.empty()) {
        postToast(error, ToastKind::Warning);
        return;
    }
    postToast(fmt::format("Clip gespeichert · {} s", replaySeconds), ToastKind::Done);
    if (sounds) playCue(kCueClip);
    postToPage(buildToastMessage("Clip gespeichert: " + utf8FromPath(path.filename()))
                   .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace

void MainWindow::actClip() {
    if (!engine_) return;
    const uint32_t seconds = settings_.replaySeconds;
    const bool sounds = settings_.sounds;
    engine_->saveClip([seconds, sounds](const std::filesystem::path& path, const std::string& error) {
        onClipSaved(path, error, seconds, sounds);
    });
}

void MainWindow::toggleReplay() {
    settings_.replayEnabled = !settings_.replayEnabled;
    saveSettings(settings_);
    if (engine_) engine_->setReplayEnabled(settings_.replayEnabled);
    if (settings_.replayEnabled) postToast("Videobeweis aktiv", ToastKind::Info);
    else postToast("Videobeweis aus", ToastKind::Warning);
    refreshTray();
}

void MainWindow::toggleRecord() {
    if (!engine_) return;
    if (engine_->status().recording) {
        engine_->stopRecording();
        postToast("Aufnahme beendet · gespeichert", ToastKind::Info);
        if (settings_.sounds) playCue(kCueRecordStop);
    } else {
        engine_->startRecording();
        postToast("Aufnahme gestartet", ToastKind::Recording);
        if (settings_.sounds) playCue(kCueRecordStart);
    }
    refreshTray();
}

void MainWindow::togglePause() {
    if (!engine_ || !engine_->status().recording) return;
    engine_->togglePause();
    postToast(engine_->status().paused ? "Aufnahme pausiert" : "Aufnahme fortgesetzt", ToastKind::Info);
}

void MainWindow::toggleMic() {
    if (!engine_) return;
    const bool muted = !engine_->status().micMuted;
    engine_->setMicMuted(muted);
    settings_.micMuted = muted;
    saveSettings(settings_);
    if (muted) postToast("Mikrofon stumm", ToastKind::Warning);
    else postToast("Mikrofon an", ToastKind::Info);
    refreshTray();
}

void MainWindow::applySettings(const Settings& s) {
    if (&s != &settings_) settings_ = s;
    saveSettings(settings_);
    if (hotkeys_) conflicts_ = registerHotkeys(*hotkeys_, settings_);
    // A portable copy never registers itself for autostart.
    if (portableSuffix().empty() && isInstalled()) setAutostart(settings_.autostart);
    if (engine_) engine_->setSettings(settings_);
    refreshTray();
}

} // namespace krel
