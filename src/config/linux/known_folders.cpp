// XDG lookups. The environment and "user-dirs.dirs" are read on every call
// rather than through GLib, whose answers are cached for the life of the
// process and would ignore later changes of HOME or XDG_CONFIG_HOME.

#include "config/known_folders.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace krel {
namespace {

std::string withoutTrailingSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return withoutTrailingSlashes(home);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir) {
        return withoutTrailingSlashes(found->pw_dir);
    }
    return {};
}

// An XDG base-directory variable counts only when it holds an absolute path;
// relative values are invalid and ignored, as the base-directory rules say.
std::optional<std::filesystem::path> absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/') return std::nullopt;
    return withoutTrailingSlashes(value);
}

std::filesystem::path configHome(const std::filesystem::path& home) {
    if (auto dir = absoluteVariable("XDG_CONFIG_HOME")) return *dir;
    return home.empty() ? std::filesystem::path() : home / ".config";
}

// One line of "user-dirs.dirs": XDG_<NAME>_DIR="$HOME/sub" or "/absolute",
// with backslash escapes inside the quotes. Other forms are ignored, as the
// xdg-user-dirs tools ignore them.
std::optional<std::string> userDirValue(std::string_view line, std::string_view key,
                                        const std::string& home) {
    auto skipBlanks = [&line] {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    };
    skipBlanks();
    if (!line.starts_with(key)) return std::nullopt;
    line.remove_prefix(key.size());
    skipBlanks();
    if (!line.starts_with('=')) return std::nullopt;
    line.remove_prefix(1);
    skipBlanks();
    if (!line.starts_with('"')) return std::nullopt;
    line.remove_prefix(1);

    std::string value;
    if (line.starts_with("$HOME")) {
        line.remove_prefix(5);
        if (!line.empty() && line.front() != '/' && line.front() != '"') return std::nullopt;
        if (home.empty()) return std::nullopt;
        value = home;
    } else if (!line.starts_with('/')) {
        return std::nullopt;
    }
    bool closed = false;
    while (!line.empty()) {
        char c = line.front();
        line.remove_prefix(1);
        if (c == '"') {
            closed = true;
            break;
        }
        if (c == '\\' && !line.empty()) {
            c = line.front();
            line.remove_prefix(1);
        }
        value += c;
    }
    if (!closed || value.empty()) return std::nullopt;
    return withoutTrailingSlashes(std::move(value));
}

} // namespace

std::filesystem::path userDataBaseFolder() {
    if (auto dir = absoluteVariable("XDG_DATA_HOME")) return *dir;
    const auto home = homeFolder();
    return home.empty() ? std::filesystem::path() : home / ".local" / "share";
}

std::filesystem::path userVideosFolder() {
    const auto home = homeFolder();
    const auto config = configHome(home);
    std::optional<std::string> videos;
    if (!config.empty()) {
        std::ifstream file(config / "user-dirs.dirs");
        std::string line;
        while (std::getline(file, line)) {
            // Like the shell that usually reads this file, the last
            // assignment wins.
            if (auto value = userDirValue(line, "XDG_VIDEOS_DIR", home.string())) videos = std::move(value);
        }
    }
    if (videos) return *videos;
    return home.empty() ? std::filesystem::path() : home / "Videos";
}

const char* dataFolderName() { return "krel-play"; }

} // namespace krel
