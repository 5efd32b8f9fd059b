#pragma once
// The six global hotkeys. Bindings are stored as Windows virtual-key codes
// with modifier bits (1 Alt, 2 Ctrl, 4 Shift, 8 Win) on every platform; a
// backend (linux/x11_hotkeys.cpp) maps them to its own keys.
//
// Ids and actions: 1 hkClip (save clip), 2 hkRecord, 3 hkMic, 4 hkReplay,
// 5 hkPause, 6 hkOverlay.

#include "config/settings.h"

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace krel {

inline constexpr int kHotkeyCount = 6;

// The bindings of the settings record in hotkey-id order (index 0 is id 1).
std::array<Hotkey, kHotkeyCount> hotkeyBindings(const Settings& settings);

// Display name: "–" for vk 0; otherwise the modifiers in the order "Strg+",
// "Umschalt+", "Alt+", "Win+", then the key: the character for digits and
// letters, "F1".."F24" for 112..135, the platform's name of the key, else
// "Taste " and the code.
std::string hotkeyName(const Hotkey& key);
// The platform's display name of a key other than a digit, letter or F-key,
// as the desktop shows it in German; empty when it has none.
std::string platformKeyName(uint32_t vk);

// The platform's global key grabs. Created and used on the main thread; the
// callback runs on the main thread with the hotkey id, once per press (held
// keys do not repeat).
class HotkeyGrabber {
public:
    virtual ~HotkeyGrabber() = default;
    // Grabs the key for `id`; false when the system refuses (another program
    // holds the combination or the key does not exist here).
    virtual bool grab(int id, const Hotkey& key) = 0;
    // Releases the grabs of ids 1 to 6.
    virtual void releaseAll() = 0;
};

// The platform's grabber. On a desktop without global hotkeys (a Wayland
// session without X11) it logs that once and accepts every binding.
std::unique_ptr<HotkeyGrabber> createHotkeyGrabber(std::function<void(int id)> onHotkey);

// Releases ids 1 to 6, then grabs every bound key in id order; returns the
// names of the bindings that failed, in id order.
std::vector<std::string> registerHotkeys(HotkeyGrabber& grabber, const Settings& settings);
void unregisterHotkeys(HotkeyGrabber& grabber);

} // namespace krel
