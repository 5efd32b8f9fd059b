#include "app/module_path.h"

#include <windows.h>

#include <string>

namespace krel {

std::filesystem::path moduleFilePath() {
    // Grows the buffer until the whole path fits: an installation folder
    // may lie deeper than the classic 260 characters.
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
    return {};
}

} // namespace krel
