#include "library/rename_no_replace.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>

namespace krel {

RenameOutcome renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to) noexcept {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return RenameOutcome::Done;
    return errno == EEXIST ? RenameOutcome::Exists : RenameOutcome::Failed;
}

} // namespace krel
