// The favourites file ".krel-favoriten": one UTF-8 name per line.

#include "library/clip_library.h"

#include "config/atomic_file.h"
#include "library/clip_paths.h"

#include <fstream>
#include <iterator>

namespace krel {
namespace {

namespace fs = std::filesystem;

// Far above any real set (thousands of names of at most 119 characters);
// anything larger is not ours and is not read into memory.
constexpr std::uintmax_t kMaxFavoritesBytes = std::uintmax_t{4} << 20;

std::string readFavoritesText(const fs::path& file) {
    std::error_code ec;
    // Only a regular file of the folder itself: a link could lead out of
    // the folder, a FIFO would block the reader.
    if (!fs::is_regular_file(fs::symlink_status(file, ec))) return {};
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec || size > kMaxFavoritesBytes) return {};
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

FavoriteSet loadFavorites(const fs::path& folder) noexcept {
    try {
        const std::string text = readFavoritesText(folder / kFavoritesFileName);
        FavoriteSet names;
        std::size_t begin = 0;
        while (begin < text.size()) {
            std::size_t end = text.find('\n', begin);
            if (end == std::string::npos) end = text.size();
            if (end > begin) names.emplace(text, begin, end - begin);
            begin = end + 1;
        }
        return names;
    } catch (...) {
        return {}; // unreadable counts as empty
    }
}

void saveFavorites(const fs::path& folder, const FavoriteSet& names) noexcept {
    try {
        std::string text;
        for (const std::string& name : names) {
            if (name.empty() || name.find('\n') != std::string::npos) continue;
            text += name;
            text += '\n';
        }
        replaceFileAtomically(folder / kFavoritesFileName, text);
    } catch (...) {
        // The change is lost; the old file stays whole.
    }
}

void setFavorite(const fs::path& folder, std::string_view file, bool on) noexcept {
    if (!isValidClipName(file)) return;
    try {
        FavoriteSet names = loadFavorites(folder);
        if (on) {
            names.emplace(file);
        } else if (const auto it = names.find(file); it != names.end()) {
            names.erase(it);
        }
        saveFavorites(folder, names);
    } catch (...) {
        // Allocation only; the favourites stay as they were.
    }
}

} // namespace krel
