#pragma once
// The per-user installation. On Linux:
//   install folder   ~/.local/lib/krel-play, executable "krel-play" in it,
//                    and a symlink ~/.local/bin/krel-play to it;
//   desktop entry    $XDG_DATA_HOME/applications/krel-play.desktop (with a
//                    "Deinstallieren" action running "--uninstall");
//   icon             $XDG_DATA_HOME/icons/hicolor/scalable/apps/krel-play.svg;
//   autostart        $XDG_CONFIG_HOME/autostart/krel-play.desktop, starting
//                    the running executable with "--tray".
// An executable under the build's install prefix (a distribution package)
// counts as installed and never installs itself. Paths are looked up afresh
// from the environment on every call. An unknown home folder leaves the
// paths empty, and nothing is then written. Nothing here throws.
//
// The overloads taking `exePath` stand for the running executable
// (moduleFilePath) that the plain ones use.

#include <filesystem>
#include <string>

namespace krel {

std::filesystem::path installFolder();
std::filesystem::path installedExePath();
// The application-menu entry (the Start-menu shortcut's equivalent).
std::filesystem::path shortcutPath();
std::filesystem::path autostartPath();

// True when the running executable is the installed one (same device and
// inode) or lies under the system-wide install prefix.
bool isInstalled(const std::filesystem::path& exePath);
bool isInstalled();
// Copies the running executable into the install folder and writes the
// link, the desktop entry and the icon. Only the copy can fail: then
// "Programm konnte nicht kopiert werden (läuft es schon?)" and false.
bool installSelf(std::string& error, const std::filesystem::path& exePath);
bool installSelf(std::string& error);
// Removes autostart, desktop entry, icon, link (only when it points to our
// executable) and the install folder; leaves the data and clip folders.
void uninstallSelf();
// Writes or deletes the autostart entry; it starts `exePath` (by default the
// running executable).
void setAutostart(bool enable, const std::filesystem::path& exePath);
void setAutostart(bool enable);

} // namespace krel
