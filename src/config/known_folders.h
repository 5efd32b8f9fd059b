#pragma once
// The platform's per-user folders. Each backend (linux/, later win/)
// implements these; an empty path means the lookup failed.
//
// Every call looks the folders up afresh (no caching here: dataDirectory
// caches its own result, clipDirectory deliberately does not). The functions
// read the process environment, so they are safe to call from any thread as
// long as no thread changes the environment at the same time.

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
