#include "app/file_swap.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krel {

bool writeExecutableFile(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                         const std::filesystem::path& modeFrom) {
    mode_t mode = 0755;
    struct stat st {};
    if (::stat(modeFrom.c_str(), &st) == 0) mode = st.st_mode & 07777 & ~mode_t{06000};
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    ok = ok && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

bool renameReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

void removeFileQuietly(const std::filesystem::path& path) {
    ::unlink(path.c_str());
}

} // namespace krel
