#pragma once
// The Windows backend's boundary between the program's UTF-8 text and the
// wide-character (UTF-16) Windows calls, and the path form those calls take.

#include <filesystem>
#include <string>
#include <string_view>

namespace krel {

// UTF-8 to UTF-16 and back with MultiByteToWideChar / WideCharToMultiByte;
// invalid input becomes U+FFFD. Never throws but for std::bad_alloc.
std::wstring wideFromUtf8(std::string_view utf8);
std::string utf8FromWide(std::wstring_view wide);

// `path` as a Win32 call takes it: backslashes only, and for an absolute
// path too long for the classic 260-character limit the "\\?\" (or
// "\\?\UNC\") prefix, which lifts the limit but also turns off the
// system's own clean-up of "." and ".." parts, so those are resolved here.
std::wstring win32Path(const std::filesystem::path& path);

} // namespace krel
