#include "ui/hotkeys.h"

namespace krel {

namespace {

constexpr uint32_t kModAlt = 1;
constexpr uint32_t kModCtrl = 2;
constexpr uint32_t kModShift = 4;
constexpr uint32_t kModWin = 8;

} // namespace

std::array<Hotkey, kHotkeyCount> hotkeyBindings(const Settings& settings) {
    return {settings.hkClip, settings.hkRecord, settings.hkMic,
            settings.hkReplay, settings.hkPause, settings.hkOverlay};
}

std::string hotkeyName(const Hotkey& key) {
    if (key.vk == 0) return "\u2013";
    std::string name;
    if (key.mods & kModCtrl) name += "Strg+";
    if (key.mods & kModShift) name += "Umschalt+";
    if (key.mods & kModAlt) name += "Alt+";
    if (key.mods & kModWin) name += "Win+";
    if ((key.vk >= '0' && key.vk <= '9') || (key.vk >= 'A' && key.vk <= 'Z')) {
        name += static_cast<char>(key.vk);
    } else if (key.vk >= 112 && key.vk <= 135) {
        name += "F" + std::to_string(key.vk - 111);
    } else if (std::string platform = platformKeyName(key.vk); !platform.empty()) {
        name += platform;
    } else {
        name += "Taste " + std::to_string(key.vk);
    }
    return name;
}

std::vector<std::string> registerHotkeys(HotkeyGrabber& grabber, const Settings& settings) {
    grabber.releaseAll();
    std::vector<std::string> failed;
    const auto bindings = hotkeyBindings(settings);
    for (int i = 0; i < kHotkeyCount; ++i) {
        const Hotkey& key = bindings[static_cast<size_t>(i)];
        if (key.vk == 0) continue;
        if (!grabber.grab(i + 1, key)) failed.push_back(hotkeyName(key));
    }
    return failed;
}

void unregisterHotkeys(HotkeyGrabber& grabber) {
    grabber.releaseAll();
}

} // namespace krel
