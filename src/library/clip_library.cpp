// Listing, renaming and deleting the clips of the clip folder.

#include "library/clip_library.h"

#include "library/clip_paths.h"
#include "library/rename_no_replace.h"
#include "library/trash.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace krel {
namespace {

namespace fs = std::filesystem;

// ASCII-only lower-casing: the extension is compared byte by byte.
char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool endsWithMp4(std::string_view name) {
    constexpr std::string_view kExtension = ".mp4";
    if (name.size() < kExtension.size()) return false;
    const std::string_view tail = name.substr(name.size() - kExtension.size());
    return std::equal(tail.begin(), tail.end(), kExtension.begin(),
                      [](char a, char b) { return asciiLower(a) == b; });
}

// The source name of a clip named "<source> <timestamp>.mp4": everything
// before the blank that starts the year of the timestamp.
std::string gameOf(std::string_view stem) {
    const std::size_t cut = stem.find(" 20");
    return cut == std::string_view::npos ? std::string() : std::string(stem.substr(0, cut));
}

int64_t unixMilliseconds(fs::file_time_type time) {
    const auto system = std::chrono::file_clock::to_sys(time);
    return std::chrono::duration_cast<std::chrono::milliseconds>(system.time_since_epoch()).count();
}

// The entry as it is in the folder, a link not followed. The type usually
// comes from the directory read itself, without a status query.
bool isPlainFile(const fs::directory_entry& entry) {
    std::error_code ec;
    return fs::is_regular_file(entry.symlink_status(ec)) && !ec;
}

ClipEntry makeEntry(const fs::directory_entry& entry, const FavoriteSet& favorites) {
    ClipEntry clip;
    clip.file = fileNameUtf8(entry.path());
    clip.game = gameOf(std::string_view(clip.file).substr(0, clip.file.size() - 4));
    std::error_code ec;
    const std::uintmax_t size = entry.file_size(ec);
    clip.size = ec ? -1 : static_cast<int64_t>(size);
    const fs::file_time_type written = entry.last_write_time(ec);
    clip.modified = ec ? 0 : unixMilliseconds(written);
    clip.favorite = favorites.contains(clip.file);
    return clip;
}

// Moves the favourite `from` to `to`, if it is one.
void renameFavorite(const fs::path& folder, const std::string& from, const std::string& to) {
    FavoriteSet names = loadFavorites(folder);
    const auto it = names.find(from);
    if (it == names.end()) return;
    names.erase(it);
    names.insert(to);
    saveFavorites(folder, names);
}

} // namespace

std::vector<ClipEntry> listClips(const fs::path& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return {}; // missing (not yet created, or deleted) or unreadable
    const FavoriteSet favorites = loadFavorites(folder);
    std::vector<ClipEntry> clips;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        if (!isPlainFile(entry)) continue;
        // extension() is empty for a bare ".mp4", which is no clip name.
        const std::string extension = fileNameUtf8(entry.path().extension());
        if (extension.size() != 4 || !endsWithMp4(extension)) continue;
        clips.push_back(makeEntry(entry, favorites));
    }
    if (ec) throw fs::filesystem_error("directory_iterator::operator++", folder, ec);
    std::sort(clips.begin(), clips.end(),
              [](const ClipEntry& a, const ClipEntry& b) { return a.modified > b.modified; });
    return clips;
}

int64_t folderBytes(const fs::path& folder) noexcept {
    int64_t total = 0;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!isPlainFile(*it)) continue;
        std::error_code sizeError;
        const std::uintmax_t size = it->file_size(sizeError);
        total += sizeError ? -1 : static_cast<int64_t>(size);
    }
    return total;
}

bool renameClip(const fs::path& folder, std::string_view oldName, std::string_view newName,
                std::string* message) noexcept {
    const auto fail = [message](const char* text) {
        if (message) *message = text;
        return false;
    };
    try {
        std::string target(newName);
        if (!endsWithMp4(target)) target += ".mp4";
        // A bare ".mp4" would be a hidden file without extension that no
        // listing shows again.
        const bool emptyStem = target.size() == 4;
        if (!isValidClipName(oldName) || !isValidClipName(target) || emptyStem)
            return fail(kInvalidNameMessage);
        const fs::path to = childPath(folder, target);
        std::error_code ec;
        if (fs::exists(fs::symlink_status(to, ec))) return fail(kNameTakenMessage);
        // The kernel refuses to replace a name that appeared since the check
        // (another program saving a file of that name meanwhile).
        switch (renameNoReplace(childPath(folder, oldName), to)) {
        case RenameOutcome::Done: break;
        case RenameOutcome::Exists: return fail(kNameTakenMessage);
        case RenameOutcome::Failed: return fail(kRenameFailedMessage);
        }
        renameFavorite(folder, std::string(oldName), target);
        return true;
    } catch (...) {
        return fail(kRenameFailedMessage); // allocation
    }
}

bool deleteClip(const fs::path& folder, std::string_view file) noexcept {
    if (!isValidClipName(file)) return false;
    bool moved = false;
    try {
        moved = moveToTrash(childPath(folder, file));
        FavoriteSet names = loadFavorites(folder);
        if (const auto it = names.find(file); it != names.end()) {
            names.erase(it);
            saveFavorites(folder, names);
        }
    } catch (...) {
        // Allocation; what was moved stays moved.
    }
    return moved;
}

} // namespace krel
