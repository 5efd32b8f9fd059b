#pragma once
// Conversions between the library's UTF-8 names and paths, shared by its
// source files. Building from char8_t keeps the bytes as they are on Linux
// and converts from UTF-8 (not the code page) on Windows.

#include <filesystem>
#include <string>
#include <string_view>

namespace krel {

// `folder` / `name`, for a name that isValidClipName accepted (so the
// result is always a direct child of `folder`).
inline std::filesystem::path childPath(const std::filesystem::path& folder, std::string_view name) {
    return folder / std::filesystem::path(std::u8string(name.begin(), name.end()));
}

// The last component of `path` as UTF-8.
inline std::string fileNameUtf8(const std::filesystem::path& path) {
    const std::u8string name = path.filename().u8string();
    return std::string(name.begin(), name.end());
}

} // namespace krel
