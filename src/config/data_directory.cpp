#include "config/data_directory.h"

#include "config/environment.h"
#include "config/known_folders.h"
#include "config/settings.h"
#include "config/utf8_path.h"

#include <optional>
#include <string>

namespace krel {
namespace {

// A folder given as UTF-8 text, without trailing separators.
std::filesystem::path withoutTrailingSeparators(std::string dir) {
    auto isSeparator = [](char c) {
        return c == '/' || c == static_cast<char>(std::filesystem::path::preferred_separator);
    };
    while (dir.size() > 1 && isSeparator(dir.back())) dir.pop_back();
    return pathFromUtf8(dir);
}

// "KREL_PLAY_DATA_DIR" when set to a non-empty value. Its value is used as
// given; only trailing separators are dropped, so that every caller gets
// the folder without one.
std::optional<std::filesystem::path> dataDirOverride() {
    auto value = environmentValue("KREL_PLAY_DATA_DIR");
    if (!value || value->empty()) return std::nullopt;
    return withoutTrailingSeparators(std::move(*value));
}

std::filesystem::path computeDataDirectory() {
    std::filesystem::path dir;
    if (auto override = dataDirOverride()) {
        dir = *override;
    } else {
        dir = userDataBaseFolder();
        if (!dir.empty()) dir /= dataFolderName();
    }
    // Throws filesystem_error when the folder cannot be made (an empty path
    // included): the program cannot run without its data folder.
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace

std::filesystem::path dataDirectory() {
    // A function-local static gives the thread-safe one-time initialisation;
    // when the first attempt throws, the next call tries again.
    static const std::filesystem::path dir = computeDataDirectory();
    return dir;
}

std::filesystem::path clipDirectory(const Settings& settings) {
    std::filesystem::path dir;
    if (!settings.clipDir.empty()) {
        dir = withoutTrailingSeparators(settings.clipDir);
    } else if (auto override = dataDirOverride()) {
        dir = *override / "Clips";
    } else {
        dir = userVideosFolder();
        if (!dir.empty()) dir /= "KREL Play";
    }
    if (!dir.empty()) {
        std::error_code ignored; // the writes into it report their own errors
        std::filesystem::create_directories(dir, ignored);
    }
    return dir;
}

const std::string& portableSuffix() {
    // Present in the environment means portable, whatever the value.
    static const std::string suffix = environmentValue("KREL_PLAY_PORTABLE") ? "_Portable" : "";
    return suffix;
}

} // namespace krel
