#include "core/clip_naming.h"

#include "config/data_directory.h"
#include "config/settings.h"

#include <fmt/format.h>

#include <cerrno>
#include <sys/stat.h>

namespace krel {
namespace {

// Length of the UTF-8 sequence that starts with `lead` (1 for stray bytes,
// so that invalid text is still cut at a byte boundary).
size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

// True when the status query's error means "there is no such file".
bool isNotFound(int error) {
    return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP;
}

} // namespace

std::string sanitizeName(std::string_view name) {
    static constexpr std::string_view kForbidden = "\\/:*?\"<>|";
    std::string out;
    size_t chars = 0;
    for (size_t i = 0; i < name.size() && chars < 60; ++chars) {
        const auto c = static_cast<unsigned char>(name[i]);
        const size_t len = std::min(sequenceLength(c), name.size() - i);
        if (c < 32 || kForbidden.find(static_cast<char>(c)) != std::string_view::npos) {
            out += '_';
        } else {
            out.append(name.substr(i, len));
        }
        i += len;
    }
    return out.empty() ? "Aufnahme" : out;
}

std::string clipTimestamp(const std::tm& t) {
    return fmt::format("{:04}-{:02}-{:02} {:02}-{:02}-{:02}", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                       t.tm_min, t.tm_sec);
}

void ClipNamer::setSource(std::string sourceName) {
    std::lock_guard lock(mutex_);
    sourceName_ = std::move(sourceName);
}

void ClipNamer::setClipDir(std::string clipDir) {
    std::lock_guard lock(mutex_);
    clipDir_ = std::move(clipDir);
}

std::filesystem::path ClipNamer::makeClipPath(std::string_view defaultPrefix) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return makeClipPath(defaultPrefix, local);
}

std::filesystem::path ClipNamer::makeClipPath(std::string_view defaultPrefix, const std::tm& local) {
    std::lock_guard lock(mutex_);
    Settings folderSettings;
    folderSettings.clipDir = clipDir_;
    const std::filesystem::path folder = clipDirectory(folderSettings);
    const std::string name = sanitizeName(sourceName_.empty() ? defaultPrefix : std::string_view(sourceName_));
    const std::string stem = name + " " + clipTimestamp(local);
    std::filesystem::path candidate = folder / (stem + ".mp4");
    for (int counter = 2;; ++counter) {
        struct stat st{};
        bool exists = true;
        if (::lstat(candidate.c_str(), &st) != 0) {
            const int error = errno;
            if (!isNotFound(error))
                throw std::filesystem::filesystem_error("exists", candidate, std::error_code(error, std::generic_category()));
            exists = false;
        }
        if (!exists && !reservedPaths_.contains(candidate)) {
            reservedPaths_.insert(candidate);
            return candidate;
        }
        candidate = folder / fmt::format("{} ({}).mp4", stem, counter);
    }
}

void ClipNamer::release(const std::filesystem::path& path) {
    std::lock_guard lock(mutex_);
    reservedPaths_.erase(path);
}

bool ClipNamer::reserved(const std::filesystem::path& path) const {
    std::lock_guard lock(mutex_);
    return reservedPaths_.contains(path);
}

} // namespace krel
