#pragma once
// Clip folders for the library tests: real clips written by the project's
// own MP4 writer, in folders on the same volume as the desktop trash the
// tests use.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace krel::test {

// The per-process temporary root. Its first use points $XDG_DATA_HOME at
// root/data, before GIO reads it, so that trashed clips land in
// root/data/Trash and not in the user's trash. Removed at exit.
const std::filesystem::path& libraryTestRoot();
std::filesystem::path trashFilesFolder(); // root/data/Trash/files
std::filesystem::path trashInfoFolder();  // root/data/Trash/info

// A fresh clip folder under the root, removed with its content.
class ClipFolder {
public:
    ClipFolder();
    ~ClipFolder();
    ClipFolder(const ClipFolder&) = delete;
    ClipFolder& operator=(const ClipFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const;

    // A real MP4 clip named `name`, last written at `modifiedMs` (ms since
    // 1970 UTC).
    std::filesystem::path addClip(std::string_view name, int64_t modifiedMs = 1'700'000'000'000);
    std::filesystem::path addFile(std::string_view name, std::string_view content);
    std::string readFavoritesFile() const;

private:
    std::filesystem::path path_;
};

} // namespace krel::test
