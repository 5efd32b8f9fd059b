#include "config/log.h"
#include "config/linux/posix_io.h"

#include "config/data_directory.h"
#include "config/debug_output.h"

#include <fmt/format.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krel {
namespace {

constexpr std::uintmax_t kRotateBytes = 2 * 1024 * 1024;

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string formatLine(std::string_view message) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto sinceEpoch = duration_cast<milliseconds>(now.time_since_epoch());
    // Floor division keeps seconds and milliseconds consistent even for a
    // clock set before 1970.
    const auto secs = floor<seconds>(sinceEpoch);
    const auto millis = (sinceEpoch - secs).count();
    const std::time_t t = static_cast<std::time_t>(secs.count());
    std::tm local{};
    localtime_r(&t, &local);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} {}\n", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                       millis, message);
}

// How often a writer starts over because another process rotated the file
// under it; each round means that process made progress.
constexpr int kOpenRounds = 16;

// Appends `line` to `file`, first moving a log that has grown past the limit
// to ".1" (replacing the older generation). Other processes (a hand-over, the
// restart after an update) log into the same file, so the size check, the
// rename and the append happen under an exclusive flock on the log itself.
// The lock belongs to the file, not the name: after waiting for it, the
// writer checks that the name still leads to the file it locked, else
// another process has rotated it meanwhile and the writer starts over.
void appendRotating(const std::filesystem::path& file, std::string_view line) {
    std::filesystem::path older = file;
    older += ".1";
    for (int round = 0; round < kOpenRounds; ++round) {
        const UniqueFd log(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (log.fd < 0) return; // the line is lost
        while (::flock(log.fd, LOCK_EX) != 0)
            if (errno != EINTR) return;
        struct stat locked {};
        struct stat named {};
        if (::fstat(log.fd, &locked) != 0) return;
        if (::stat(file.c_str(), &named) != 0 || named.st_ino != locked.st_ino || named.st_dev != locked.st_dev)
            continue; // rotated by someone else: open the new file
        if (static_cast<std::uintmax_t>(locked.st_size) > kRotateBytes) {
            (void)::rename(file.c_str(), older.c_str());
            continue; // the next round creates the new file
        }
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(log.fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<size_t>(n);
        }
        return; // closing the file releases the lock
    }
}

} // namespace

void logLine(std::string_view message) noexcept {
    try {
        std::lock_guard lock(logMutex());
        const std::string line = formatLine(message);
        debugOutput(line);

        // Opened and closed for every line, so the log can be read, copied or
        // deleted while the program runs.
        appendRotating(dataDirectory() / "krel-play.log", line);
    } catch (...) {
        // Logging must never take the caller down; the line is lost.
    }
}

} // namespace krel
