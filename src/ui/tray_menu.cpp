#include "ui/tray_menu.h"

namespace krel {

std::vector<TrayMenuEntry> trayMenu(const TrayMenuState& s) {
    return {
        {kMenuOpen, "KREL Play öffnen", true, false, false, true},
        {0, "", false, false, false, true},
        {kMenuReplay, "Videobeweis aktiv", false, true, s.replayEnabled, true},
        {kMenuClip, "Clip speichern", false, false, false, s.replayEnabled},
        {kMenuRecordStart, "Aufnahme starten", false, false, false, !s.recording},
        {kMenuRecordStop, "Aufnahme stoppen", false, false, false, s.recording},
        {kMenuMic, "Mikrofon stumm", false, true, s.micMuted, true},
        {0, "", false, false, false, true},
        {kMenuQuit, "KREL Play beenden", false, false, false, true},
    };
}

std::string trayTitle(const std::string& updateVersion) {
    if (updateVersion.empty()) return "KREL Play";
    return "KREL Play – Update " + updateVersion + " verfügbar";
}

} // namespace krel
