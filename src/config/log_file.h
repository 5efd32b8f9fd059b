#pragma once
// The platform part of the log (linux/: POSIX files and flock; win/: Win32
// files and LockFileEx): the local calendar time of a line's stamp, and the
// append with rotation that several processes may do at once. Both are
// called under the log mutex; the append throws nothing but std::bad_alloc.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string_view>

namespace krel {

std::tm localCalendarTime(std::time_t t) noexcept;

// Appends `line` to `file`, first moving a log that has grown past
// `rotateBytes` to the same name with ".1" appended (replacing the older
// generation). The check, the move and the append happen under a lock on
// the file that other processes writing it honour too. A line that cannot
// be written is lost.
void appendLogLine(const std::filesystem::path& file, std::string_view line, std::uintmax_t rotateBytes);

} // namespace krel
