#pragma once
// The clip library: the file-system side of the overlay's gallery.
//
// Every operation works on the clip folder the caller passes (the effective
// clip folder of the current settings) and reads the folder and the
// favourites file afresh; nothing is kept in memory between calls. The
// command dispatcher calls these on its own thread, one at a time; there is
// no lock, so two concurrent changes of one folder's favourites may lose
// one of them.
//
// Names are UTF-8 file names without a folder. A name never resolves
// outside the folder: isValidClipName refuses separators, "." and "..",
// and every operation taking a name checks it first. Symbolic links in the
// folder are neither listed nor counted nor followed; renaming or trashing
// one moves the link itself, never its target.
//
// The favourites live in ".krel-favoriten" in the clip folder (hidden by its
// leading dot): UTF-8, one name per line, each ended by a line feed, in the
// order of FavoriteSet. It is replaced through a temporary file, so a crash
// while saving leaves the old or the new set, never a truncated one. A
// missing, unreadable or oversized favourites file, or a folder of that
// name, counts as no favourites. Stale names (of clips renamed or deleted by
// other programs) do no harm: a listing only marks files that exist.
//
// Only listClips throws (see there); the other operations report failure by
// their result and never throw.

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace krel {

inline constexpr char kFavoritesFileName[] = ".krel-favoriten";
inline constexpr std::size_t kMaxClipNameUnits = 119; // UTF-16 code units

// Messages of renameClip, shown to the user as they are.
inline constexpr char kInvalidNameMessage[] = "Ungültiger Name";
inline constexpr char kNameTakenMessage[] = "Name ist schon vergeben";
inline constexpr char kRenameFailedMessage[] = "Umbenennen fehlgeschlagen";

struct ClipEntry {
    std::string file;     // file name with extension
    std::string game;     // the name without extension up to its first " 20"; empty without one
    int64_t size = -1;    // bytes; -1 when the size cannot be read
    int64_t modified = 0; // last write, milliseconds since 1970-01-01 UTC
    bool favorite = false;
};

// Orders UTF-8 texts as their UTF-16 forms compare unit by unit (characters
// above U+FFFF before U+E000..U+FFFF), the order of the favourites file.
// Works on any bytes, valid UTF-8 or not.
struct Utf16Order {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};
using FavoriteSet = std::set<std::string, Utf16Order>;

// True for a name of 1 to 119 UTF-16 code units of valid UTF-8 that holds
// none of \ / : * ? " < > |, no control character (U+0000..U+001F, U+007F)
// and is not "." or "..".
bool isValidClipName(std::string_view name) noexcept;

// The regular files directly in `folder` whose extension is ".mp4" in any
// letter case, newest first (equal times in no defined order). ".part"
// files of clips being written, other files, folders and links are left
// out. A folder that does not exist or cannot be opened lists nothing.
// Throws std::filesystem::filesystem_error ("directory_iterator::operator++")
// when reading the folder fails half-way.
std::vector<ClipEntry> listClips(const std::filesystem::path& folder);

// The sum of the sizes of all regular files directly in `folder` (clips,
// ".part" files, the favourites file, anything else; not links), each
// unreadable size counted as -1. 0 for a folder that cannot be read.
int64_t folderBytes(const std::filesystem::path& folder) noexcept;

// Adds (`on`) or removes `file` in the favourites and saves them, also when
// nothing changed. Does nothing for an invalid name; the file itself need
// not exist. A failed save is lost silently.
void setFavorite(const std::filesystem::path& folder, std::string_view file, bool on) noexcept;

// Renames `oldName` to `newName` within `folder`, appending ".mp4" to
// `newName` unless it already ends in it (any letter case); a new name
// that is nothing but the extension is invalid. Never replaces
// an existing entry. On failure returns false and, when `message` is given,
// stores kInvalidNameMessage (either name is invalid), kNameTakenMessage
// (the new name exists as file, folder or link) or kRenameFailedMessage
// (the rename itself failed, e.g. `oldName` is missing or the folder is
// read-only). A favourite stays a favourite under its new name.
bool renameClip(const std::filesystem::path& folder, std::string_view oldName, std::string_view newName,
                std::string* message = nullptr) noexcept;

// Moves `file` in `folder` to the desktop's trash, from where the user can
// restore it. False for an invalid name or when the trash refuses it (no
// such file, a volume without a trash); the file then stays. The name
// leaves the favourites either way.
bool deleteClip(const std::filesystem::path& folder, std::string_view file) noexcept;

FavoriteSet loadFavorites(const std::filesystem::path& folder) noexcept;
// Replaces the favourites file with `names`; names that cannot be stored
// as one line (empty, or holding a line feed) are left out. Errors are
// ignored.
void saveFavorites(const std::filesystem::path& folder, const FavoriteSet& names) noexcept;

} // namespace krel
