#pragma once
// The Windows replace behind replaceFileAtomically, for other files that
// must never be seen half-written (the account file).

#include <cstddef>
#include <filesystem>

namespace krel {

// Writes `size` bytes to `tmp` (a fresh file: whatever stood there is
// removed first), flushes it to the disk and renames it over `target`,
// waiting a moment for another process that holds `target` open without
// delete sharing. On failure `tmp` is removed and `target` left as it was.
// Throws nothing but std::bad_alloc.
bool writeAndReplace(const std::filesystem::path& target, const std::filesystem::path& tmp, const void* data,
                     size_t size);

} // namespace krel
