#pragma once
// Conversions between the library's UTF-8 names and paths, shared by its
// source files.

#include "config/utf8_path.h"

namespace krel {

// `folder` / `name`, for a name that isValidClipName accepted (so the
// result is always a direct child of `folder`).
inline std::filesystem::path childPath(const std::filesystem::path& folder, std::string_view name) {
    return folder / pathFromUtf8(name);
}

// The last component of `path` as UTF-8.
inline std::string fileNameUtf8(const std::filesystem::path& path) {
    return utf8FromPath(path.filename());
}

} // namespace krel
