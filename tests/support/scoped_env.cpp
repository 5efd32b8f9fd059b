#include "scoped_env.h"

#include <cstdlib>

namespace krel::test {

void ScopedEnv::set(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) ::setenv(name.c_str(), value->c_str(), 1);
    else ::unsetenv(name.c_str());
#endif
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    set(name_, value);
}

ScopedEnv::~ScopedEnv() {
    set(name_, previous_);
}

} // namespace krel::test
