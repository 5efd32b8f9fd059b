#pragma once
// The tray icon's menu: ids 100 to 106 with their texts and states. The
// replay entry follows the settings flag, the recording and microphone
// entries follow the engine's status.

#include <string>
#include <vector>

namespace krel {

inline constexpr int kMenuOpen = 100;
inline constexpr int kMenuReplay = 101;
inline constexpr int kMenuClip = 102;
inline constexpr int kMenuRecordStart = 103;
inline constexpr int kMenuRecordStop = 104;
inline constexpr int kMenuMic = 105;
inline constexpr int kMenuQuit = 106;

struct TrayMenuState {
    bool replayEnabled = false; // the settings flag
    bool recording = false;     // the engine's status
    bool micMuted = false;      // the engine's status
    bool operator==(const TrayMenuState&) const = default;
};

struct TrayMenuEntry {
    int id = 0;              // 0: separator
    std::string text;
    bool isDefault = false;  // shown bold; what a click on the icon does
    bool checkable = false;
    bool checked = false;
    bool enabled = true;
};

// The entries in menu order, separators included.
std::vector<TrayMenuEntry> trayMenu(const TrayMenuState& state);

// The tray's tip / title: "KREL Play", or with a known update
// "KREL Play – Update {version} verfügbar".
std::string trayTitle(const std::string& updateVersion);

} // namespace krel
