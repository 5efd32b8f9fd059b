#include "app/module_path.h"

namespace krel {

std::filesystem::path moduleFilePath() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : p;
}

} // namespace krel
