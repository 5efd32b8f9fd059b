#include "app/startup.h"

#include "app/install.h"
#include "app/instance.h"
#include "app/message_box.h"
#include "app/module_path.h"
#include "app/process_start.h"
#include "app/update.h"
#include "app/version.h"
#include "config/data_directory.h"
#include "config/log.h"
#include "ui/main_loop.h"
#include "ui/dispatcher/dispatcher.h"
#include "ui/main_window.h"

#include <fmt/format.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace krel {
namespace {

using namespace std::chrono_literals;

constexpr auto kCloseTimeout = 3000ms;
constexpr auto kInstallPause = 300ms;
constexpr auto kUpdatedWait = 15000ms;

bool portableMode() {
    const char* v = std::getenv("KREL_PLAY_PORTABLE");
    return v && *v;
}

int run(const std::string& commandLine, const std::vector<std::string>& args, InstanceLock& lock) {
    auto has = [&](const char* flag) { return commandLine.find(flag) != std::string::npos; };
    const std::string& suffix = portableSuffix();

    cleanupUpdateFiles();
    logLine(fmt::format("KREL Play {} startet", kAppVersion));

    if (startupUpdateCheck(args)) {
        lock.release();
        std::vector<std::string> restartArgs{"--updated"};
        if (has("--tray")) restartArgs.emplace_back("--tray");
        startDetached(moduleFilePath(), restartArgs);
        return 0;
    }

    if (!initMainLoop()) {
        showMessageBox("KREL Play kann nicht starten: keine grafische Sitzung (ohne Oberfläche: krel-play --headless)",
                       MessageIcon::Error);
        return 1;
    }
    av_log_set_level(AV_LOG_ERROR);

    Settings settings;
    std::vector<InstanceListener::Reply> closeReplies;
    MainWindow window(settings, [] { startDetached(moduleFilePath(), {"--updated"}); });
    auto listener = InstanceListener::start(
        suffix, [] { postOpenOverlay(); },
        [&window, &closeReplies](InstanceListener::Reply reply) {
            closeReplies.push_back(std::move(reply));
            window.destroy();
        });

    settings = loadSettings();
    if (has("--tray") && !settings.replayEnabled) {
        settings.replayEnabled = true;
        logLine("Autostart: Videobeweis eingeschaltet");
    }

    try {
        window.setEngine(std::make_unique<Engine>());
    } catch (const std::exception& e) {
        showMessageBox(fmt::format("KREL Play kann nicht starten: {}", e.what()), MessageIcon::Error);
        return 1;
    }
    window.createOverlayAndTray(handle);
    window.applySettings(settings);
    window.engine()->start();
    window.watchForeground();
    window.startTimers();

    // Orderly ends: signals and a vanished X server go the same way as the
    // menu's quit entry. Losing the display cannot return to the loop, so
    // that path finishes the engine itself and ends the process.
    onTerminationSignals([&window] { window.destroy(); });
    onDisplayLost([&window, &lock] {
        window.takeEngine().reset();
        lock.release();
        std::_Exit(0);
    });

    if (!window.hotkeyConflicts().empty())
        postToast("Hotkey belegt: " + window.hotkeyConflicts().front(), ToastKind::Warning);
    if (has("--first-run")) window.overlay()->show();
    else if (has("--updated")) postToast(fmt::format("KREL Play aktualisiert auf {}", kAppVersion), ToastKind::Info);
    else if (!has("--tray")) postToast("KREL Play läuft – Alt+Z öffnet das Overlay", ToastKind::Info);

    runMainLoop();

    window.destroy();
    listener.reset();
    window.takeOverlay().reset();
    window.takeEngine().reset(); // finishes a recording, waits for clip jobs
    lock.release();
    logLine("KREL Play beendet");
    for (auto& reply : closeReplies) reply();
    return 0;
}

} // namespace

int runDesktop(const std::vector<std::string>& args) {
    std::string commandLine;
    for (const auto& a : args) commandLine += (commandLine.empty() ? "" : " ") + a;
    auto has = [&](const char* flag) { return commandLine.find(flag) != std::string::npos; };
    const std::string& suffix = portableSuffix();

    if (has("--uninstall")) {
        closeRunningInstance(suffix, kCloseTimeout);
        uninstallSelf();
        showMessageBox("KREL Play wurde entfernt. Deine Clips bleiben erhalten.", MessageIcon::Information);
        return 0;
    }

    if (!isInstalled() && !portableMode()) {
        closeRunningInstance(suffix, kCloseTimeout);
        std::this_thread::sleep_for(kInstallPause);
        std::string error;
        if (!installSelf(error)) {
            showMessageBox("Installation fehlgeschlagen: " + error, MessageIcon::Error);
            return 1;
        }
        startDetached(installedExePath(), {"--first-run"});
        return 0;
    }

    InstanceLock lock(suffix);
    if (!lock.tryLock()) {
        const bool updated = has("--updated") && lock.waitLock(kUpdatedWait);
        if (!updated) {
            askRunningToOpenOverlay(suffix);
            return 0;
        }
    }
    return run(commandLine, args, lock);
}

} // namespace krel
