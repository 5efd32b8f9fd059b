#include "config/win/wide_text.h"

#include <windows.h>

#include <climits>

namespace krel {
namespace {

// The classic limit, less room for the 8.3 name Windows may append to a
// folder path.
constexpr size_t kPlainPathMax = MAX_PATH - 12;

} // namespace

std::wstring wideFromUtf8(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > INT_MAX) return {};
    const int size = static_cast<int>(utf8.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring out(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), needed);
    return out;
}

std::string utf8FromWide(std::wstring_view wide) {
    if (wide.empty() || wide.size() > INT_MAX) return {};
    const int size = static_cast<int>(wide.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), needed, nullptr, nullptr);
    return out;
}

std::wstring win32Path(const std::filesystem::path& path) {
    std::wstring text = path.wstring();
    for (wchar_t& c : text)
        if (c == L'/') c = L'\\';
    if (text.size() < kPlainPathMax || text.starts_with(LR"(\\?\)") || !path.is_absolute()) return text;
    text = path.lexically_normal().wstring();
    for (wchar_t& c : text)
        if (c == L'/') c = L'\\';
    if (text.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + text.substr(2);
    return LR"(\\?\)" + text;
}

} // namespace krel
