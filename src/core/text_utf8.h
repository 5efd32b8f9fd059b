#pragma once
// Text from outside the program (window titles, class names, file names)
// made safe for what the program does with it: valid UTF-8 for JSON and the
// log, no control characters in log lines, file names cut on a character
// boundary.

#include <cstddef>
#include <string>
#include <string_view>

namespace krel {

// Length of the well-formed UTF-8 sequence at `text[pos]` (1 to 4), or 0 when
// the bytes there are not one (stray continuation byte, overlong form,
// surrogate, beyond U+10FFFF, cut short).
size_t utf8SequenceAt(std::string_view text, size_t pos);

// `text` with every maximal ill-formed part replaced by `replacement`.
std::string validUtf8(std::string_view text, std::string_view replacement = "\xEF\xBF\xBD");

// ISO 8859-1 bytes (the X11 STRING type) as UTF-8.
std::string latin1ToUtf8(std::string_view text);

// Valid UTF-8 without C0/C1 control characters and DEL, for log lines.
std::string printable(std::string_view text);

// The longest prefix of valid UTF-8 `text` that has at most `maxBytes`
// bytes and ends on a character boundary.
std::string_view utf8PrefixBytes(std::string_view text, size_t maxBytes);

// The first `maxChars` characters (code points) of valid UTF-8 `text`.
std::string_view utf8PrefixChars(std::string_view text, size_t maxChars);

} // namespace krel
