#pragma once
// File operations of the executable swap (linux/: POSIX). Callable from any
// thread; they do not throw.

#include <cstdint>
#include <filesystem>
#include <span>

namespace krel {

// Writes `bytes` to `path` (created or truncated) with the permission bits
// of `modeFrom` (an executable stays executable; 0755 when it cannot be
// read), flushed to disk. False on any failure.
bool writeExecutableFile(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         const std::filesystem::path& modeFrom);
// Renames, replacing an existing target. False on failure.
bool renameReplacing(const std::filesystem::path& from, const std::filesystem::path& to);
// Deletes a file; the result is ignored by design.
void removeFileQuietly(const std::filesystem::path& path);

} // namespace krel
