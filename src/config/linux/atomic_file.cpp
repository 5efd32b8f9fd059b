#include "config/atomic_file.h"

#include <cerrno>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace krel {
namespace {

// A file descriptor owned by a std::unique_ptr.
struct FdCloser {
    struct pointer {
        int fd = -1;
        pointer() = default;
        pointer(std::nullptr_t) {}
        explicit pointer(int f) : fd(f) {}
        explicit operator bool() const { return fd >= 0; }
        friend bool operator==(pointer a, pointer b) { return a.fd == b.fd; }
        friend bool operator==(pointer a, std::nullptr_t) { return a.fd < 0; }
    };
    void operator()(pointer p) const { ::close(p.fd); }
};
using UniqueFd = std::unique_ptr<int, FdCloser>;

UniqueFd openFd(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return UniqueFd(FdCloser::pointer(fd));
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writes the complete temporary file and has it on the disk before it may
// replace the target: without the flush a power loss after the rename can
// leave an empty or partial "settings.json".
bool writeDurably(const std::filesystem::path& tmp, std::string_view content) {
    // A stale temporary file (of an interrupted save, or something else put
    // there) is removed first; O_EXCL | O_NOFOLLOW then guarantee that we
    // write a new regular file and never through a link.
    ::unlink(tmp.c_str());
    UniqueFd fd = openFd(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
    if (!fd) return false;
    if (!writeAll(fd.get().fd, content)) return false;
    if (::fsync(fd.get().fd) != 0) return false;
    return ::close(fd.release().fd) == 0;
}

} // namespace

bool replaceFileAtomically(const std::filesystem::path& target, std::string_view content) noexcept {
    try {
        std::filesystem::path tmp = target;
        tmp += ".tmp";
        if (!writeDurably(tmp, content) || ::rename(tmp.c_str(), target.c_str()) != 0) {
            ::unlink(tmp.c_str());
            return false;
        }
        // The rename itself lives in the folder; flush it too so that the
        // new name survives a power loss. Some file systems refuse to sync
        // a folder; the file is in place all the same.
        std::filesystem::path folder = target.parent_path();
        if (folder.empty()) folder = ".";
        if (UniqueFd dir = openFd(folder.c_str(), O_RDONLY | O_DIRECTORY)) ::fsync(dir.get().fd);
        return true;
    } catch (...) {
        return false; // only allocation can throw here
    }
}

std::optional<std::string> readReplaceableFile(const std::filesystem::path& file) {
    // A rename replaces the file in one step, so a plain read sees the old
    // or the new file whole.
    UniqueFd fd = openFd(file.c_str(), O_RDONLY);
    if (!fd) return std::nullopt;
    std::string text;
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get().fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt; // a folder, an I/O error
        if (n == 0) return text;
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

} // namespace krel
