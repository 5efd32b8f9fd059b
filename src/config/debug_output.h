#pragma once
// Where log lines are mirrored for a developer watching the program: the
// debugger output on Windows, standard error on Linux. Called by logLine
// under the log mutex; the text is passed through unchanged and the call
// never throws or blocks on anything but the output itself.

#include <string_view>

namespace krel {

void debugOutput(std::string_view text) noexcept;

} // namespace krel
