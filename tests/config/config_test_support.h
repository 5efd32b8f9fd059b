#pragma once
// Helpers of the config tests.
//
// The test process gets its own fresh data folder (KREL_PLAY_DATA_DIR) before
// the first test runs; testDataDirectory() names it. Behaviour that is
// decided once per process (the data folder, the portable suffix) is tested
// in a fresh helper process started by runProbe with its own environment.

#include "scoped_env.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace krel::test {

const std::filesystem::path& testDataDirectory();

struct ProbeResult {
    int exitCode = -1;
    std::vector<std::string> lines; // standard output, split at line feeds
};

// Runs the config_probe helper with `args`; `env` changes the inherited
// environment (nullopt removes a variable).
ProbeResult runProbe(const std::vector<std::string>& args,
                     const std::map<std::string, std::optional<std::string>>& env);

std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, const std::string& content);

} // namespace krel::test
