// The rules for clip names and the order of the favourites.

#include "library/clip_library.h"

#include "config/log.h"

#include <algorithm>
#include <cstdint>

namespace krel {
namespace {

constexpr std::string_view kForbiddenCharacters = "\\/:*?\"<>|";

bool isControlCharacter(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// UTF-8 bytes keep code point order, UTF-16 units do not: U+E000..U+FFFF
// (lead bytes 0xEE and 0xEF) come after the surrogate pairs of the
// characters above U+FFFF (lead bytes 0xF0..0xF4). Moving those two lead
// bytes past every other byte value yields the UTF-16 order. Only the
// first differing byte decides, and in valid UTF-8 it is either a lead
// byte in both texts or a continuation byte under the same lead byte.
unsigned sortKey(unsigned char c) {
    return (c == 0xEE || c == 0xEF) ? 0x100u + c : c;
}

} // namespace

bool Utf16Order::operator()(std::string_view a, std::string_view b) const noexcept {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ib == b.end()) return false; // b is a prefix of a, or equal
    if (ia == a.end()) return true;  // a is a proper prefix of b
    return sortKey(static_cast<unsigned char>(*ia)) < sortKey(static_cast<unsigned char>(*ib));
}

bool isValidClipName(std::string_view name) noexcept {
    try {
        if (name.empty() || name == "." || name == "..") return false;
        for (const char c : name) {
            if (isControlCharacter(static_cast<unsigned char>(c))) return false;
            if (kForbiddenCharacters.find(c) != std::string_view::npos) return false;
        }
        // The conversion replaces ill-formed bytes, so a round trip that
        // changes the text marks a name that is not UTF-8.
        const std::u16string units = toUtf16(name);
        return units.size() <= kMaxClipNameUnits && toUtf8(units) == name;
    } catch (...) {
        return false; // allocation
    }
}

} // namespace krel
