#include "config/environment.h"

#include <cstdlib>

namespace krel {

std::optional<std::string> environmentValue(const char* name) {
    if (const char* value = std::getenv(name)) return std::string(value);
    return std::nullopt;
}

} // namespace krel
