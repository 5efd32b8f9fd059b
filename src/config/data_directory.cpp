#include "config/data_directory.h"

#include "config/known_folders.h"
#include "config/settings.h"

#include <cstdlib>

namespace krel {
namespace {

const char* dataDirOverride() {
    const char* v = std::getenv("KREL_PLAY_DATA_DIR");
    return (v && *v) ? v : nullptr;
}

std::filesystem::path computeDataDirectory() {
    std::filesystem::path dir;
    if (const char* v = dataDirOverride()) {
        dir = v;
    } else {
        dir = userDataBaseFolder();
        if (!dir.empty()) dir /= dataFolderName();
    }
    // Throws filesystem_error ("create_directories") when it cannot be made:
    // the program cannot run without its data folder.
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace

std::filesystem::path dataDirectory() {
    static const std::filesystem::path dir = computeDataDirectory();
    return dir;
}

std::filesystem::path clipDirectory(const Settings& settings) {
    std::filesystem::path dir;
    if (!settings.clipDir.empty()) {
        dir = settings.clipDir;
    } else if (const char* v = dataDirOverride()) {
        dir = std::filesystem::path(v) / "Clips";
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
    static const std::string suffix = std::getenv("KREL_PLAY_PORTABLE") ? "_Portable" : "";
    return suffix;
}

} // namespace krel
