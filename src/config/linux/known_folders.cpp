#include "config/known_folders.h"

#include <glib.h>

namespace krel {

std::filesystem::path userDataBaseFolder() {
    // $XDG_DATA_HOME, else ~/.local/share.
    const char* dir = g_get_user_data_dir();
    return dir ? std::filesystem::path(dir) : std::filesystem::path();
}

std::filesystem::path userVideosFolder() {
    // XDG_VIDEOS_DIR from user-dirs.dirs, else ~/Videos.
    if (const char* dir = g_get_user_special_dir(G_USER_DIRECTORY_VIDEOS)) return dir;
    const char* home = g_get_home_dir();
    return home ? std::filesystem::path(home) / "Videos" : std::filesystem::path();
}

const char* dataFolderName() { return "krel-play"; }

} // namespace krel
