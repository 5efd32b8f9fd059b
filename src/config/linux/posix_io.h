#pragma once
// Small POSIX helpers shared by the Linux backends: an owned file
// descriptor and a write that retries until every byte is out.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <unistd.h>

namespace krel {

// Owns a file descriptor.
struct UniqueFd {
    int fd = -1;
    UniqueFd() = default;
    explicit UniqueFd(int f) : fd(f) {}
    ~UniqueFd() {
        if (fd >= 0) ::close(fd);
    }
    UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            if (fd >= 0) ::close(fd);
            fd = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd; }
    explicit operator bool() const { return fd >= 0; }
    int release() {
        const int f = fd;
        fd = -1;
        return f;
    }
};

// Writes all of `bytes`, resuming after interruptions; false on an error.
inline bool writeAll(int fd, std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace krel
