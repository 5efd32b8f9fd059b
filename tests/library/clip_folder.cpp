#include "clip_folder.h"

#include "core/clip_writer.h"
#include "temp_dir.h"
#include "test_media.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <stdlib.h>

namespace krel::test {
namespace {

namespace fs = std::filesystem;

fs::path utf8Path(std::string_view name) {
    return fs::path(std::u8string(name.begin(), name.end()));
}

// One short clip through writeReplayClip; the clip folders get copies.
const fs::path& sourceClip() {
    static const fs::path clip = [] {
        MediaOptions o;
        o.seconds = 1.0;
        o.gopFrames = 30;
        const EncodedMedia media = encodeTestMedia(o);
        fs::path path = libraryTestRoot() / "source.mp4";
        writeReplayClip(path, interleaved(media), media.video, media.audio);
        return path;
    }();
    return clip;
}

} // namespace

const fs::path& libraryTestRoot() {
    static const TempDir root;
    static const bool environment = [] {
        const fs::path data = root / "data";
        fs::create_directories(data);
        // Before any thread and any GIO call of the process.
        return setenv("XDG_DATA_HOME", data.c_str(), 1) == 0; // NOLINT(concurrency-mt-unsafe)
    }();
    if (!environment) throw std::runtime_error("XDG_DATA_HOME not set");
    return root.path();
}

fs::path trashFilesFolder() {
    return libraryTestRoot() / "data" / "Trash" / "files";
}
fs::path trashInfoFolder() {
    return libraryTestRoot() / "data" / "Trash" / "info";
}

ClipFolder::ClipFolder() {
    static std::atomic<int> counter{0};
    path_ = libraryTestRoot() / ("clips-" + std::to_string(counter++));
    fs::create_directories(path_);
}

ClipFolder::~ClipFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path ClipFolder::operator/(std::string_view name) const {
    return path_ / utf8Path(name);
}

fs::path ClipFolder::addClip(std::string_view name, int64_t modifiedMs) {
    fs::path path = *this / name;
    fs::copy_file(sourceClip(), path);
    const std::chrono::sys_time<std::chrono::milliseconds> written{std::chrono::milliseconds(modifiedMs)};
    fs::last_write_time(path, std::chrono::file_clock::from_sys(written));
    return path;
}

fs::path ClipFolder::addFile(std::string_view name, std::string_view content) {
    fs::path path = *this / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string ClipFolder::readFavoritesFile() const {
    std::ifstream in(path_ / ".krel-favoriten", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace krel::test
