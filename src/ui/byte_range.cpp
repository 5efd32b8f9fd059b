#include "ui/byte_range.h"

#include <charconv>
#include <limits>

namespace krel {
namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A non-empty run of decimal digits that fits in 63 bits; -1 otherwise.
int64_t parseCount(std::string_view digits) {
    if (digits.empty()) return -1;
    int64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value < 0) return -1;
    return value;
}

} // namespace

ByteRange parseByteRange(std::string_view header, int64_t size) {
    header = trim(header);
    constexpr std::string_view kUnit = "bytes=";
    if (!header.starts_with(kUnit) || size < 0) return {};
    const std::string_view bounds = trim(header.substr(kUnit.size()));
    if (bounds.find(',') != std::string_view::npos) return {};
    const size_t dash = bounds.find('-');
    if (dash == std::string_view::npos) return {};
    const std::string_view from = trim(bounds.substr(0, dash));
    const std::string_view to = trim(bounds.substr(dash + 1));

    if (from.empty()) { // the last `suffix` bytes
        const int64_t suffix = parseCount(to);
        if (suffix < 0) return {};
        if (suffix == 0 || size == 0) return {ByteRange::Unsatisfiable, 0, 0};
        const int64_t length = suffix < size ? suffix : size;
        return {ByteRange::Partial, size - length, length};
    }
    const int64_t first = parseCount(from);
    if (first < 0) return {};
    int64_t last = std::numeric_limits<int64_t>::max();
    if (!to.empty()) {
        last = parseCount(to);
        if (last < 0 || last < first) return {};
    }
    if (first >= size) return {ByteRange::Unsatisfiable, 0, 0};
    if (last >= size) last = size - 1;
    return {ByteRange::Partial, first, last - first + 1};
}

} // namespace krel
