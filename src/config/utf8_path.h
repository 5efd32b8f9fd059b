#pragma once
// Paths to and from UTF-8 text. Portable code keeps text in UTF-8, but a
// path's narrow constructor and string() use the system's code page on
// Windows; going through char8_t keeps every character on every platform.

#include <filesystem>
#include <string>
#include <string_view>

namespace krel {

inline std::filesystem::path pathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

} // namespace krel
