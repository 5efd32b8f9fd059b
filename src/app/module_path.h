#pragma once
// The full path of the running executable (linux/: /proc/self/exe); empty
// when it cannot be determined.

#include <filesystem>

namespace krel {

std::filesystem::path moduleFilePath();

} // namespace krel
