#include "core/clip_naming.h"

#include "config/data_directory.h"
#include "config/settings.h"
#include "core/text_utf8.h"

#include <fmt/format.h>

#include <cerrno>
#include <sys/stat.h>

namespace krel {
namespace {

// True when the status query's error means "there is no such file".
bool isNotFound(int error) {
    return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == ELOOP;
}

} // namespace

std::string sanitizeName(std::string_view name) {
    static constexpr std::string_view kForbidden = "\\/:*?\"<>|";
    std::string out;
    size_t chars = 0;
    bool inBad = false;
    for (size_t i = 0; i < name.size() && chars < kMaxNameChars;) {
        const auto c = static_cast<unsigned char>(name[i]);
        const size_t len = utf8SequenceAt(name, i);
        if (len == 0) {
            // Bytes that are no UTF-8 character: one "_" for each run.
            if (!inBad) {
                out += '_';
                ++chars;
            }
            inBad = true;
            ++i;
            continue;
        }
        inBad = false;
        if (c < 32 || kForbidden.find(static_cast<char>(c)) != std::string_view::npos) {
            out += '_';
        } else {
            out.append(name.substr(i, len));
        }
        ++chars;
        i += len;
    }
    return out.empty() ? "Aufnahme" : out;
}

std::string fitFileName(std::string_view name, std::string_view suffix) {
    constexpr size_t kPart = std::string_view(kPartSuffix).size();
    const size_t room = kMaxFileNameBytes > suffix.size() + kPart ? kMaxFileNameBytes - suffix.size() - kPart : 0;
    return std::string(utf8PrefixBytes(name, room)) + std::string(suffix);
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
    const std::string stamp = " " + clipTimestamp(local);
    std::filesystem::path candidate = folder / fitFileName(name, stamp + ".mp4");
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
        candidate = folder / fitFileName(name, fmt::format("{} ({}).mp4", stamp, counter));
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
