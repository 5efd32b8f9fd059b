#include "config/log.h"

#include "config/data_directory.h"
#include "config/debug_output.h"
#include "config/log_file.h"

#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>

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
    const std::tm local = localCalendarTime(t);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} {}\n", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                       millis, message);
}

} // namespace

void logLine(std::string_view message) noexcept {
    try {
        std::lock_guard lock(logMutex());
        const std::string line = formatLine(message);
        debugOutput(line);

        // Opened and closed for every line, so the log can be read, copied or
        // deleted while the program runs.
        appendLogLine(dataDirectory() / "krel-play.log", line, kRotateBytes);
    } catch (...) {
        // Logging must never take the caller down; the line is lost.
    }
}

} // namespace krel
