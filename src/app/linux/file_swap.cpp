#include "app/file_swap.h"
#include "config/linux/posix_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krel {
namespace {

std::atomic<void (*)(SwapStep)> swapStepHook{nullptr};

void reachedStep(SwapStep step) {
    if (auto hook = swapStepHook.load()) hook(step);
}

// Makes the renames inside `folder` durable.
void syncFolder(const std::filesystem::path& folder) {
    const UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0) (void)::fsync(dir.fd);
}

} // namespace

bool writeExecutableFile(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         const std::filesystem::path& modeFrom) {
    mode_t mode = 0755;
    struct stat st {};
    if (::stat(modeFrom.c_str(), &st) == 0) mode = st.st_mode & 07777 & ~mode_t{06000};
    // A leftover (or a link someone placed there) is removed, and the file
    // is made anew: O_EXCL fails rather than write through anything that
    // appears at the name meanwhile.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.fd < 0) return false;
    const bool ok = writeAll(file.fd, bytes) && ::fchmod(file.fd, mode) == 0 && ::fsync(file.fd) == 0;
    const int fd = file.fd;
    file.fd = -1;
    return ::close(fd) == 0 && ok;
}

SwapResult swapInExecutable(const std::filesystem::path& newFile, const std::filesystem::path& exePath,
                            const std::filesystem::path& oldFile) {
    // link() does not replace, so an earlier old file goes first. The
    // executable itself is never moved away: until the rename below it keeps
    // its name, and the rename puts the new file there in one step.
    if (::unlink(oldFile.c_str()) != 0 && errno != ENOENT) return SwapResult::NotLinked;
    if (::link(exePath.c_str(), oldFile.c_str()) != 0) return SwapResult::NotLinked;
    reachedStep(SwapStep::Linked);
    if (::rename(newFile.c_str(), exePath.c_str()) != 0) return SwapResult::NotSwapped;
    reachedStep(SwapStep::Swapped);
    syncFolder(exePath.parent_path());
    return SwapResult::Done;
}

void setSwapStepHookForTesting(void (*hook)(SwapStep)) {
    swapStepHook = hook;
}

void removeFileQuietly(const std::filesystem::path& path) {
    ::unlink(path.c_str());
}

} // namespace krel
