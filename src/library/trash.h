#pragma once
// The desktop's trash (the recycle bin), one backend per platform: linux/
// moves files into the freedesktop trash through GIO.

#include <filesystem>

namespace krel {

// Moves `path` (a file or folder; a link is moved itself, not its target)
// into the trash of the current user, from where it can be restored.
// Returns false, leaving `path` in place, when it does not exist or its
// volume has no usable trash. Blocks while the file is moved; never throws.
bool moveToTrash(const std::filesystem::path& path) noexcept;

} // namespace krel
