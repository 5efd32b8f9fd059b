#include "app/process_start.h"

#include "config/log.h"

#include <fmt/format.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace krel {

bool startDetached(const std::filesystem::path& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> ptrs;
    for (auto& a : argv) ptrs.push_back(a.data());
    ptrs.push_back(nullptr);

    // A session of its own, so that a terminal's hang-up or our process
    // group's signals do not reach the new copy.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, ptrs.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        logLine(fmt::format("Start von {} fehlgeschlagen: {}", program.string(), std::strerror(rc)));
        return false;
    }
    return true;
}

} // namespace krel
