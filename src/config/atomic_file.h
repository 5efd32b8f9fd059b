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
#include <string_view>

namespace krel {

bool replaceFileAtomically(const std::filesystem::path& target, std::string_view content) noexcept;

} // namespace krel
