#include "core/text_utf8.h"

namespace krel {

size_t utf8SequenceAt(std::string_view text, size_t pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t len = 0;
    // The second byte's range depends on the lead byte (no overlong forms,
    // no surrogates, nothing past U+10FFFF).
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - pos < len) return 0;
    if (byte(1) < lo || byte(1) > hi) return 0;
    for (size_t i = 2; i < len; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return len;
}

std::string validUtf8(std::string_view text, std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    bool inBad = false;
    for (size_t i = 0; i < text.size();) {
        const size_t len = utf8SequenceAt(text, i);
        if (len == 0) {
            if (!inBad) out.append(replacement);
            inBad = true;
            ++i;
            continue;
        }
        inBad = false;
        out.append(text.substr(i, len));
        i += len;
    }
    return out;
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string printable(std::string_view text) {
    const std::string valid = validUtf8(text);
    std::string out;
    out.reserve(valid.size());
    for (size_t i = 0; i < valid.size();) {
        const size_t len = utf8SequenceAt(valid, i);
        const auto c = static_cast<unsigned char>(valid[i]);
        // C1 controls are U+0080..U+009F: C2 80 .. C2 9F.
        const bool control = c < 0x20 || c == 0x7F ||
                             (len == 2 && c == 0xC2 && static_cast<unsigned char>(valid[i + 1]) <= 0x9F);
        if (!control) out.append(valid, i, len);
        i += len;
    }
    return out;
}

std::string_view utf8PrefixBytes(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    // Back up over continuation bytes to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

std::string_view utf8PrefixChars(std::string_view text, size_t maxChars) {
    size_t end = 0;
    for (size_t chars = 0; end < text.size() && chars < maxChars; ++chars) {
        const size_t len = utf8SequenceAt(text, end);
        end += len == 0 ? 1 : len;
    }
    return text.substr(0, end);
}

} // namespace krel
