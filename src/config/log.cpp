#include "config/log.h"

#include "config/data_directory.h"
#include "config/debug_output.h"

#include <fmt/format.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
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
    std::tm local{};
    localtime_r(&t, &local);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03} {}\n", local.tm_year + 1900,
                       local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                       millis, message);
}

// Moves a log that has grown past the limit to ".1", replacing the older
// generation. A size that cannot be read (no file yet) also leads here; that
// rename then fails harmlessly.
void rotateIfFull(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (!ec && size <= kRotateBytes) return;
    std::filesystem::path older = file;
    older += ".1";
    std::filesystem::rename(file, older, ec);
}

} // namespace

void logLine(std::string_view message) noexcept {
    try {
        std::lock_guard lock(logMutex());
        const std::string line = formatLine(message);
        debugOutput(line);

        const std::filesystem::path file = dataDirectory() / "krel-play.log";
        rotateIfFull(file);
        // Opened and closed for every line, so the log can be read, copied or
        // deleted while the program runs. Unbuffered: the line goes out in
        // one write, which O_APPEND places at the current end.
        std::ofstream out;
        out.rdbuf()->pubsetbuf(nullptr, 0);
        out.open(file, std::ios::binary | std::ios::app);
        if (out) out.write(line.data(), static_cast<std::streamsize>(line.size()));
    } catch (...) {
        // Logging must never take the caller down; the line is lost.
    }
}

} // namespace krel
