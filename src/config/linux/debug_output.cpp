#include "config/debug_output.h"

#include <cerrno>

#include <unistd.h>

namespace krel {

void debugOutput(std::string_view text) noexcept {
    // One write per line where possible, so lines of several processes
    // sharing a terminal stay whole.
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

} // namespace krel
