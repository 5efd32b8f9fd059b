#pragma once
// Environment variables for a test, on POSIX and Windows alike (values are
// UTF-8; on Windows the wide environment the program reads).

#include <optional>
#include <string>

namespace krel::test {

// Sets (or, with nullopt, removes) an environment variable for the lifetime
// of the object and restores the previous state afterwards.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    // Sets `name` for good (nullopt removes it).
    static void set(const std::string& name, const std::optional<std::string>& value);

private:
    std::string name_;
    std::optional<std::string> previous_;
};

} // namespace krel::test
