#pragma once
// Reading the process environment as UTF-8 (linux/: getenv; win/: the wide
// environment, so values with characters outside the ANSI code page arrive
// whole). Safe from any thread while nobody changes the environment.

#include <optional>
#include <string>

namespace krel {

// The value of `name`; nothing when the variable is not set.
std::optional<std::string> environmentValue(const char* name);

} // namespace krel
