#pragma once
// What the overlay's commands ask of the desktop: open a file, folder or web
// address with the user's default program, show a file in the file manager,
// pick a folder, put text on the clipboard, and list the windows a user can
// pick for window capture. Main thread only. Linux: GIO, the
// org.freedesktop.FileManager1 D-Bus service, GTK and X11.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace krel {

// Opens a local file or folder with its default program; false when none
// could be started.
bool openPath(const std::filesystem::path& path);
// Opens a web address with the default browser.
bool openUri(const std::string& uri);
// Shows `file` selected in the file manager, or opens its folder when no
// file manager answers on the session bus.
void showInFileManager(const std::filesystem::path& file);
// A modal folder picker titled `title` over `owner` (0: no owner); nothing
// when cancelled.
std::optional<std::filesystem::path> chooseFolder(const std::string& title, uintptr_t owner);
void setClipboardText(const std::string& text);
// Titles of the viewable top-level application windows, in the desktop's
// order: no transient dialogs, no utility, toolbar, menu, dock, desktop,
// splash or notification windows, no empty titles, not "KREL Play".
std::vector<std::string> pickableWindowTitles();

} // namespace krel
