// The per-user installation on an XDG desktop. The executable is copied
// into ~/.local/lib/krel-play and linked from ~/.local/bin; a desktop entry
// in the user's applications folder (with an uninstall action) and the icon
// make it appear in the application menu; autostart is an entry in the XDG
// autostart folder. Every path comes fresh from the environment, so a
// changed HOME or XDG variable takes effect at the next call.
#include "app/install.h"

#include "app/module_path.h"
#include "app/version.h"
#include "config/atomic_file.h"
#include "config/known_folders.h"
#include "config/log.h"
#include "ui/app_icon_svg.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace krel {
namespace {

// The name of the executable, the link, both desktop entries and the icon.
constexpr const char* kAppId = "krel-play";
constexpr const char* kCopyFailed = "Programm konnte nicht kopiert werden (läuft es schon?)";

struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileClose>;

// HOME when it is absolute, else the account's home folder.
fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

// A relative XDG_CONFIG_HOME is invalid and ignored, as the base-directory
// rules say.
fs::path configHome() {
    if (const char* dir = std::getenv("XDG_CONFIG_HOME"); dir && dir[0] == '/') return dir;
    const auto home = homeFolder();
    return home.empty() ? fs::path() : home / ".config";
}

// base/rest, or empty when the base is unknown: nothing is ever placed
// relative to the working folder.
fs::path under(const fs::path& base, const fs::path& rest) {
    return base.empty() ? fs::path() : base / rest;
}

fs::path linkPath() {
    return under(homeFolder(), fs::path(".local/bin") / kAppId);
}

fs::path iconPath() {
    return under(userDataBaseFolder(), fs::path("icons/hicolor/scalable/apps") / (std::string(kAppId) + ".svg"));
}

// The string escapes of a desktop-entry value.
std::string escapeValue(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

// One argument of an Exec line: in double quotes, with the characters that
// stay special inside them escaped and "%" doubled (it starts field codes).
// The string escapes of the file format come on top, so a backslash in the
// path ends up as four.
std::string execArgument(const fs::path& path) {
    std::string quoted = "\"";
    for (char c : path.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    return escapeValue(quoted);
}

// Version is that of the desktop-entry format; ours is X-KREL-Version.
std::string menuEntry(const fs::path& exe) {
    return fmt::format("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Version=1.4\n"
                       "Name=KREL Play\n"
                       "Comment=Clips und Aufnahmen\n"
                       "Exec={0}\n"
                       "Icon={1}\n"
                       "Terminal=false\n"
                       "Categories=AudioVideo;Video;Recorder;\n"
                       "X-KREL-Version={2}\n"
                       "Actions=Deinstallieren;\n"
                       "\n"
                       "[Desktop Action Deinstallieren]\n"
                       "Name=Deinstallieren\n"
                       "Exec={0} --uninstall\n",
                       execArgument(exe), kAppId, kAppVersion);
}

std::string autostartEntry(const fs::path& exe) {
    return fmt::format("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Version=1.4\n"
                       "Name=KREL Play\n"
                       "Comment=Clips und Aufnahmen\n"
                       "Exec={0} --tray\n"
                       "Icon={1}\n"
                       "Terminal=false\n"
                       "NoDisplay=true\n"
                       "X-GNOME-Autostart-enabled=true\n",
                       execArgument(exe), kAppId);
}

bool writeFile(const fs::path& path, std::string_view content) {
    if (path.empty()) return false;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    return replaceFileAtomically(path, content);
}

// Copies the executable under a temporary name beside its place, has it on
// the disk and renames it over the installed one: a copy that is running at
// that moment keeps its image, and no crash leaves half an executable under
// the installed name. Copying the installed executable onto itself works too.
bool copyExecutable(const fs::path& from, const fs::path& to) {
    if (from.empty() || to.empty()) return false;
    fs::path tmp = to;
    tmp += ".new";
    std::error_code ec;
    fs::remove(tmp, ec);
    bool ok = fs::copy_file(from, tmp, ec);
    if (ok) {
        // Read-only is enough for both calls, also for a source without
        // write permission.
        FilePtr file(std::fopen(tmp.c_str(), "rb"));
        ok = file && ::fchmod(fileno(file.get()), 0755) == 0 && ::fsync(fileno(file.get())) == 0;
    }
    ok = ok && std::rename(tmp.c_str(), to.c_str()) == 0;
    if (!ok) fs::remove(tmp, ec);
    return ok;
}

bool linksToUs(const fs::path& link) {
    std::error_code ec;
    if (link.empty() || !fs::is_symlink(link, ec)) return false;
    const auto target = fs::read_symlink(link, ec);
    return !ec && target == installedExePath();
}

// The command-line link is only ever added: an existing file or link of that
// name, ours or someone else's, stays as it is.
void createLink() {
    const auto link = linkPath();
    if (link.empty()) return;
    std::error_code ec;
    fs::create_directories(link.parent_path(), ec);
    if (fs::symlink_status(link, ec).type() != fs::file_type::not_found) return;
    fs::create_symlink(installedExePath(), link, ec);
}

// A distribution package puts the executable into <prefix>/bin (or a folder
// under <prefix>/lib) of the build's install prefix.
bool underInstallPrefix([[maybe_unused]] const fs::path& exe) {
#ifdef KREL_INSTALL_PREFIX
    std::error_code ec;
    const fs::path real = fs::weakly_canonical(exe, ec);
    if (ec) return false;
    for (const char* folder : {"bin", "lib"}) {
        const fs::path dir = fs::weakly_canonical(fs::path(KREL_INSTALL_PREFIX) / folder, ec);
        if (ec) continue;
        const fs::path inside = real.lexically_relative(dir);
        if (!inside.empty() && inside != "." && *inside.begin() != "..") return true;
    }
#endif
    return false;
}

} // namespace

fs::path installFolder() {
    return under(homeFolder(), fs::path(".local/lib") / kAppId);
}

fs::path installedExePath() {
    return under(installFolder(), kAppId);
}

fs::path shortcutPath() {
    return under(userDataBaseFolder(), fs::path("applications") / (std::string(kAppId) + ".desktop"));
}

fs::path autostartPath() {
    return under(configHome(), fs::path("autostart") / (std::string(kAppId) + ".desktop"));
}

bool isInstalled(const fs::path& exePath) {
    try {
        if (exePath.empty()) return false;
        std::error_code ec;
        const auto installed = installedExePath();
        if (!installed.empty() && fs::equivalent(exePath, installed, ec) && !ec) return true;
        return underInstallPrefix(exePath);
    } catch (...) {
        return false; // only allocation can throw here
    }
}

bool isInstalled() {
    return isInstalled(moduleFilePath());
}

bool installSelf(std::string& error, const fs::path& exePath) {
    try {
        const auto folder = installFolder();
        std::error_code ec;
        if (!folder.empty()) fs::create_directories(folder, ec); // the copy reveals failures
        if (!copyExecutable(exePath, installedExePath())) {
            error = kCopyFailed;
            return false;
        }
        createLink();
        writeFile(shortcutPath(), menuEntry(installedExePath()));
        writeFile(iconPath(), kAppIconSvg);
        logLine("Installiert");
        return true;
    } catch (...) {
        error = kCopyFailed;
        return false;
    }
}

bool installSelf(std::string& error) {
    return installSelf(error, moduleFilePath());
}

void uninstallSelf() {
    try {
        setAutostart(false);
        std::error_code ec;
        if (const auto p = shortcutPath(); !p.empty()) fs::remove(p, ec);
        if (const auto p = iconPath(); !p.empty()) fs::remove(p, ec);
        if (const auto link = linkPath(); linksToUs(link)) fs::remove(link, ec);
        // The running executable may be inside: Linux keeps its image until
        // the process ends, so the folder goes at once.
        // Only our folder goes, never a file or link of the same name.
        if (const auto folder = installFolder(); fs::is_directory(fs::symlink_status(folder, ec)))
            fs::remove_all(folder, ec);
        logLine("Deinstalliert");
    } catch (...) {
        // only allocation can throw here; uninstalling never fails visibly
    }
}

void setAutostart(bool enable, const fs::path& exePath) {
    try {
        const auto entry = autostartPath();
        if (entry.empty()) return;
        std::error_code ec;
        if (!enable)
            fs::remove(entry, ec);
        else if (!exePath.empty())
            writeFile(entry, autostartEntry(exePath));
    } catch (...) {
        // only allocation can throw here
    }
}

void setAutostart(bool enable) {
    setAutostart(enable, moduleFilePath());
}

} // namespace krel
