#pragma once
// A rename that never replaces an existing entry, checked by the file
// system itself in one step (linux/: renameat2 with RENAME_NOREPLACE).

#include <filesystem>

namespace krel {

enum class RenameOutcome { Done, Exists, Failed };

RenameOutcome renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) noexcept;

} // namespace krel
