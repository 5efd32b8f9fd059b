#pragma once
// File operations of the executable swap (linux/: POSIX; win/: Win32).
// Callable from any thread; they do not throw.

#include <cstdint>
#include <filesystem>
#include <span>

namespace krel {

// Writes `bytes` to `path` as a fresh file with the permission bits of
// `modeFrom` (an executable stays executable; 0755 when it cannot be read),
// flushed to disk. Whatever stood at `path` is removed first, and a link
// planted there in between is never followed. False on any failure.
bool writeExecutableFile(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         const std::filesystem::path& modeFrom);

// The steps of swapInExecutable, for the test hook below.
enum class SwapStep {
    Linked,  // `oldFile` names the running executable (linux/: a second
             // name; win/: its only one, until the next step)
    Swapped, // `newFile` has replaced the executable
};

enum class SwapResult {
    Done,
    NotLinked,  // the running executable could not be kept as `oldFile`
    NotSwapped, // `newFile` could not replace the executable
};

// Puts `newFile` in the place of `exePath`. linux/: the path names a
// complete executable at every moment, whenever the process may die: the
// running file gets the second name `oldFile` (replacing an earlier one),
// then one rename moves `newFile` over `exePath`, and the folder is flushed
// to disk. win/: a running executable can only be renamed, so it moves to
// `oldFile` and `newFile` then takes its name; when that second rename
// fails, the executable is moved back.
SwapResult swapInExecutable(const std::filesystem::path& newFile, const std::filesystem::path& exePath,
                            const std::filesystem::path& oldFile);

// Test hook: called after each step of swapInExecutable (empty: none).
void setSwapStepHookForTesting(void (*hook)(SwapStep));

// Deletes a file; the result is ignored by design.
void removeFileQuietly(const std::filesystem::path& path);

} // namespace krel
