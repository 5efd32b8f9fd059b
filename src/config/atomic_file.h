#pragma once
// Replacing a file so that it is never seen half-written.
//
// replaceFileAtomically(target, content) writes `content` to `target` with
// ".tmp" appended (replacing a stale file of that name), flushes it to the
// disk, renames it over `target` and flushes the folder, so that a crash or
// a power loss at any moment leaves either the complete old or the complete
// new file. On any failure it removes the temporary file, leaves `target`
// untouched and returns false; it never throws.
//
// Not synchronised: callers that may replace the same target from several
// threads at once serialise those calls themselves (they share the ".tmp"
// name).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace krel {

bool replaceFileAtomically(const std::filesystem::path& target, std::string_view content) noexcept;

// The whole content of a file that replaceFileAtomically may replace at any
// moment; nothing when it is missing or cannot be read (a folder, an I/O
// error). win/: the file is opened with delete sharing, so that a reader
// never makes a replace fail, and the short moments in which a replace
// makes the name unavailable are waited out. Never throws but for
// std::bad_alloc.
std::optional<std::string> readReplaceableFile(const std::filesystem::path& file);

} // namespace krel
