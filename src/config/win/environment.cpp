#include "config/environment.h"
#include "config/win/wide_text.h"

#include <windows.h>

namespace krel {

std::optional<std::string> environmentValue(const char* name) {
    const std::wstring wideName = wideFromUtf8(name);
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n = GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string(); // set, but empty
        }
        if (n < value.size()) {
            value.resize(n);
            return utf8FromWide(value);
        }
        value.resize(n); // n counts the terminator when the buffer was too small
    }
}

} // namespace krel
