#pragma once
// Names of clips and recordings: "<source> <YYYY-MM-DD HH-MM-SS>.mp4" in the
// clip folder, with " (2)", " (3)", ... when the name exists on disk or is
// reserved by a save still in progress.

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace krel {

inline constexpr size_t kMaxNameChars = 60;
// The longest file name the file systems take, in bytes.
inline constexpr size_t kMaxFileNameBytes = 255;
// Appended to a clip's name while it is being written.
inline constexpr const char* kPartSuffix = ".part";

// Replaces control characters and \ / : * ? " < > | by "_", and every run
// of bytes that is not UTF-8 by one "_"; keeps the first 60 characters (code
// points), and answers "Aufnahme" for an empty result.
std::string sanitizeName(std::string_view name);

// `name` + `suffix`, with `name` cut on a character boundary so that the
// file name stays within kMaxFileNameBytes even with kPartSuffix appended.
std::string fitFileName(std::string_view name, std::string_view suffix);

// "%04d-%02d-%02d %02d-%02d-%02d" of a local time.
std::string clipTimestamp(const std::tm& local);

// The engine's name reservations and what names are made of. It has its own
// lock, taken innermost and alone, so that both the main thread (holding the
// engine lock) and a packet thread (holding only the recording lock) may
// name files.
class ClipNamer {
public:
    // The display name of the current source ("" = none), and the "clipDir"
    // setting ("" = the default clip folder). The folder is looked up, and
    // created again if it went missing, for every name.
    void setSource(std::string sourceName);
    void setClipDir(std::string clipDir);

    // Reserves and returns a free path for a clip named after the source, or
    // after `defaultPrefix` without a source. Throws
    // std::filesystem::filesystem_error ("exists") when the status of a
    // candidate cannot be queried for another reason than its absence.
    std::filesystem::path makeClipPath(std::string_view defaultPrefix);
    std::filesystem::path makeClipPath(std::string_view defaultPrefix, const std::tm& local);
    // Drops a reservation (a clip written or failed).
    void release(const std::filesystem::path& path);
    bool reserved(const std::filesystem::path& path) const;

private:
    mutable std::mutex mutex_;
    std::string sourceName_;
    std::string clipDir_;
    std::set<std::filesystem::path> reservedPaths_;
};

} // namespace krel
