#pragma once
// The program's icon in the desktop's notification area with its menu
// (tray_menu.h). Main thread only. The Linux backend offers a
// StatusNotifierItem where a watcher runs on the session bus, else an XEmbed
// icon where a system tray exists, else nothing (logged once).

#include "ui/tray_menu.h"

#include <functional>
#include <memory>
#include <string>

namespace krel {

class TrayIcon {
public:
    virtual ~TrayIcon() = default;
    // The title / tip of the icon.
    virtual void setTitle(const std::string& title) = 0;
    // Check marks and greyed entries.
    virtual void setMenuState(const TrayMenuState& state) = 0;
};

struct TrayEvents {
    std::function<void(int menuId)> command; // an entry of the menu was chosen
    std::function<void()> activate;          // a click on the icon itself
};

// Null when the desktop has no notification area.
std::unique_ptr<TrayIcon> createTrayIcon(const TrayMenuState& state, TrayEvents events);

} // namespace krel
