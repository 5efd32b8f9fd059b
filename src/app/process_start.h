#pragma once
// Starts another program detached from this process (it outlives us). The
// arguments are passed as they are, without a shell.

#include <filesystem>
#include <string>
#include <vector>

namespace krel {

// False (and logged) when it cannot be started.
bool startDetached(const std::filesystem::path& program, const std::vector<std::string>& args);

} // namespace krel
