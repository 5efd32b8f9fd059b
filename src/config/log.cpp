#include "config/log.h"

#include "config/data_directory.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace krel {
namespace {

constexpr std::uintmax_t kRotateBytes = 2 * 1024 * 1024;

std::mutex& logMutex() {
    static std::mutex m;
    return m;
}

std::string formatLine(std::string_view message) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t secs = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&secs, &local);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} {}\n", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                       millis, message);
}

} // namespace

void logLine(std::string_view message) noexcept {
    try {
        std::lock_guard lock(logMutex());
        const std::string line = formatLine(message);
        // Mirror to standard error, the Linux stand-in for the debugger output.
        std::fwrite(line.data(), 1, line.size(), stderr);

        const std::filesystem::path file = dataDirectory() / "krel-play.log";
        std::error_code ec;
        const auto size = std::filesystem::file_size(file, ec);
        if (ec || size > kRotateBytes) {
            // Also reached when the file does not exist yet; that rename
            // fails harmlessly.
            std::filesystem::path old = file;
            old += ".1";
            std::filesystem::rename(file, old, ec);
        }
        if (std::FILE* f = std::fopen(file.c_str(), "ab")) {
            std::fwrite(line.data(), 1, line.size(), f);
            std::fclose(f);
        }
    } catch (...) {
        // Logging must never take the caller down; the line is lost.
    }
}

} // namespace krel
