#include "temp_dir.h"

#include <random>
#include <stdexcept>
#include <string>

namespace krel::test {

TempDir::TempDir() {
    // A random name, created exclusively: create_directory reports whether
    // it made the folder, so a name that exists already is never shared.
    std::random_device seed;
    std::mt19937_64 random(seed());
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("krel-test." + std::to_string(random() % 100'000'000'000ULL));
        if (std::filesystem::create_directory(candidate)) {
            path_ = std::move(candidate);
            return;
        }
    }
    throw std::runtime_error("no fresh temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

} // namespace krel::test
