#include "core/source_selection.h"

#include <algorithm>
#include <iterator>

namespace krel {

namespace {

// One list for every platform. Process names are compared in lower case, so
// the entries are written in lower case.
constexpr std::string_view kExcludedProcesses[] = {
    // Windows: shell, this program and its sibling, browsers, chat and editor
    // programs, system overlays.
    "explorer.exe",
    "krel play.exe",
    "krel browse.exe",
    "chrome.exe",
    "msedge.exe",
    "firefox.exe",
    "discord.exe",
    "searchhost.exe",
    "startmenuexperiencehost.exe",
    "shellexperiencehost.exe",
    "applicationframehost.exe",
    "code.exe",
    "claude.exe",
    "textinputhost.exe",
    "lockapp.exe",
    // Linux: this program and its sibling.
    "krel-play",
    "krel-browse",
    // Linux: web browsers (the executable's file name, not the launcher
    // script's).
    "firefox",
    "firefox-bin",
    "firefox-esr",
    "librewolf",
    "chromium",
    "chromium-browser",
    "chrome",
    "google-chrome",
    "google-chrome-stable",
    "brave",
    "brave-browser",
    "opera",
    "vivaldi",
    "vivaldi-bin",
    "msedge",
    "microsoft-edge",
    "epiphany",
    "falkon",
    // Linux: chat and editor programs.
    "discord",
    "slack",
    "teams",
    "teams-for-linux",
    "signal-desktop",
    "telegram-desktop",
    "telegram",
    "element-desktop",
    "code",
    "code-oss",
    "codium",
    "claude",
    // Linux: desktop shells, panels and window managers.
    "gnome-shell",
    "plasmashell",
    "krunner",
    "kwin_x11",
    "kwin_wayland",
    "cinnamon",
    "xfdesktop",
    "xfce4-panel",
    "mate-panel",
    "lxqt-panel",
    // Linux: file managers (several draw the desktop).
    "nautilus",
    "nemo",
    "nemo-desktop",
    "caja",
    "dolphin",
    "thunar",
    "pcmanfm",
    "pcmanfm-qt",
    // Linux: screen lockers and on-screen keyboards.
    "kscreenlocker_greet",
    "gnome-screensaver",
    "cinnamon-screensaver",
    "mate-screensaver",
    "xfce4-screensaver",
    "xscreensaver",
    "light-locker",
    "i3lock",
    "onboard",
};

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

ScreenRect monitorRect(const MonitorInfo& m) {
    return {m.x, m.y, m.x + static_cast<int32_t>(m.width), m.y + static_cast<int32_t>(m.height)};
}

} // namespace

std::span<const std::string_view> excludedProcesses() { return kExcludedProcesses; }

bool isExcludedProcess(std::string_view processFileName) {
    std::string lower(processFileName);
    std::transform(lower.begin(), lower.end(), lower.begin(), lowerAscii);
    return std::find(std::begin(kExcludedProcesses), std::end(kExcludedProcesses), lower) != std::end(kExcludedProcesses);
}

bool coversMonitor(const ScreenRect& window, const ScreenRect& monitor) {
    return window.left <= monitor.left && window.top <= monitor.top && window.right >= monitor.right &&
           window.bottom >= monitor.bottom;
}

std::optional<WindowId> detectGame(WindowSystem& ws) {
    const auto foreground = ws.foregroundWindow();
    if (!foreground) return std::nullopt;
    const WindowState state = ws.describe(*foreground);
    if (!state.exists || !state.visible || state.minimized) return std::nullopt;
    if (state.desktopOrDock) return std::nullopt;
    // A process that cannot be named is not excluded; the window class
    // names the program when the process id does not.
    if (isExcludedProcess(state.process) || isExcludedProcess(state.instanceName) ||
        isExcludedProcess(state.className))
        return std::nullopt;
    const MonitorInfo monitor = ws.monitorNearest(state.outer);
    if (monitor.width == 0 || monitor.height == 0) return std::nullopt;
    if (!coversMonitor(state.outer, monitorRect(monitor))) return std::nullopt;
    return foreground;
}

std::optional<WindowId> findWindowByTitle(WindowSystem& ws, const std::string& title) {
    for (const WindowId window : ws.topLevelWindows()) {
        const WindowState state = ws.describe(window);
        if (!state.exists || !state.visible || state.minimized) continue;
        if (state.outer.right - state.outer.left <= 100 || state.outer.bottom - state.outer.top <= 100) continue;
        if (state.title == title) return window;
    }
    return std::nullopt;
}

MonitorInfo monitorByIndex(WindowSystem& ws, uint32_t index) {
    const auto monitors = ws.monitors();
    if (index < monitors.size()) return monitors[index];
    return ws.primaryMonitor();
}

} // namespace krel
