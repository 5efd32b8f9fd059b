#pragma once
// Owns a Win32 kernel handle (a file, a process) and closes it once.

#include <windows.h>

namespace krel {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE h) : handle_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    // Closes now; false when CloseHandle reports an error (for a written
    // file: the data may not have reached the disk).
    bool close() {
        const bool ok = !handle_ || CloseHandle(handle_);
        handle_ = nullptr;
        return ok;
    }
    void reset() { (void)close(); }

private:
    HANDLE handle_ = nullptr;
};

// Writes all of `data` to `file`; false on an error.
inline bool writeAllTo(HANDLE file, const void* data, size_t size) {
    auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) return false;
        bytes += written;
        size -= written;
    }
    return true;
}

} // namespace krel
