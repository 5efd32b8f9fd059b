#include "config/debug_output.h"
#include "config/win/wide_text.h"

#include <windows.h>

namespace krel {

void debugOutput(std::string_view text) noexcept {
    try {
        OutputDebugStringW(wideFromUtf8(text).c_str());
    } catch (...) {
        // out of memory: the debugger misses this line, the log still has it
    }
}

} // namespace krel
