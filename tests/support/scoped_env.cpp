#include "scoped_env.h"

#include "config/environment.h"

#ifdef _WIN32
#include "config/win/wide_text.h"

#include <windows.h>
#else
#include <cstdlib>
#endif

namespace krel::test {

void ScopedEnv::set(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    // The wide environment, which the program reads: values outside the
    // ANSI code page stay whole.
    SetEnvironmentVariableW(wideFromUtf8(name).c_str(), value ? wideFromUtf8(*value).c_str() : nullptr);
#else
    if (value) ::setenv(name.c_str(), value->c_str(), 1);
    else ::unsetenv(name.c_str());
#endif
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), previous_(environmentValue(name_.c_str())) {
    set(name_, value);
}

ScopedEnv::~ScopedEnv() {
    set(name_, previous_);
}

} // namespace krel::test
