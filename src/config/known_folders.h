#pragma once
// The platform's per-user folders. Each backend (linux/, later win/)
// implements these; an empty path means the lookup failed.

#include <filesystem>

namespace krel {

// Base for the program's data folder (XDG data home on Linux,
// FOLDERID_LocalAppData on Windows).
std::filesystem::path userDataBaseFolder();
// The user's videos folder (XDG videos folder, FOLDERID_Videos).
std::filesystem::path userVideosFolder();
// The folder name appended to userDataBaseFolder().
const char* dataFolderName();

} // namespace krel
