#include "config/log_file.h"
#include "config/linux/posix_io.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krel {
namespace {

// How often a writer starts over because another process rotated the file
// under it; each round means that process made progress.
constexpr int kOpenRounds = 16;

} // namespace

// Appends `line` to `file`, first moving a log that has grown past the limit
// to ".1" (replacing the older generation). Other processes (a hand-over, the
// restart after an update) log into the same file, so the size check, the
// rename and the append happen under an exclusive flock on the log itself.
// The lock belongs to the file, not the name: after waiting for it, the
// writer checks that the name still leads to the file it locked, else
// another process has rotated it meanwhile and the writer starts over.
void appendLogLine(const std::filesystem::path& file, std::string_view line, std::uintmax_t rotateBytes) {
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
        if (static_cast<std::uintmax_t>(locked.st_size) > rotateBytes) {
            (void)::rename(file.c_str(), older.c_str());
            continue; // the next round creates the new file
        }
        (void)writeAll(log.fd, {reinterpret_cast<const uint8_t*>(line.data()), line.size()});
        return; // closing the file releases the lock
    }
}

std::tm localCalendarTime(std::time_t t) noexcept {
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

} // namespace krel
