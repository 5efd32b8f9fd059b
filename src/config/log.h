#pragma once
// The diagnostic log: one line per event in "krel-play.log" in the data
// folder, "YYYY-MM-DD HH:MM:SS.mmm <message>" in local time, rotated to
// "krel-play.log.1" above 2 MiB. Any thread may call logLine; it takes the
// process-wide log mutex (always last and alone) and, for the other
// processes writing the same file, a flock on the log; it never throws.

#include <string>
#include <string_view>

namespace krel {

void logLine(std::string_view message) noexcept;

// UTF-8 <-> UTF-16 at the boundary to wide-string platform APIs. Invalid
// input becomes U+FFFD replacement characters; never throws.
std::string toUtf8(std::u16string_view text);
std::u16string toUtf16(std::string_view text);

} // namespace krel
