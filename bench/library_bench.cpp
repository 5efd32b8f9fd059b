// Listing the clip folder as the gallery does on every visit: 1 000 real
// clips (copies of one written by the project's MP4 writer) with distinct
// times and a favourites file of 100 names.
#include "bench.h"

#include "core/clip_writer.h"
#include "library/clip_library.h"
#include "test_media.h"
#include "ui/dispatcher/dispatcher.h"
#include "ui/main_loop.h"
#include "ui/main_window.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

fs::path fillClipFolder(const fs::path& dir, int clips) {
    fs::create_directories(dir);
    krel::test::MediaOptions o;
    o.seconds = 0.5;
    o.gopFrames = 30;
    const krel::test::EncodedMedia media = krel::test::encodeTestMedia(o);
    // The source stays in the folder as a ".part" file, skipped like a clip
    // still being written.
    const fs::path source = dir / "quelle.mp4.part";
    krel::writeReplayClip(dir / "quelle.mp4", krel::test::interleaved(media), media.video, media.audio);
    fs::rename(dir / "quelle.mp4", source);
    krel::FavoriteSet favorites;
    for (int i = 0; i < clips; ++i) {
        const std::string name =
            "Spiel " + std::to_string(i % 7) + " 2024-01-01 00-00-" + std::to_string(i) + ".mp4";
        fs::copy_file(source, dir / name);
        fs::last_write_time(dir / name,
                            fs::file_time_type::clock::now() - std::chrono::seconds(i * 37 % clips));
        if (i % 10 == 0) favorites.insert(name);
    }
    krel::saveFavorites(dir, favorites);
    return dir;
}

template <typename F> double medianMs(int runs, F&& run) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        run();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

} // namespace

KREL_BENCH("library") {
    constexpr int kClips = 1000;
    constexpr int kRuns = 21;
    const fs::path dir =
        fillClipFolder(fs::temp_directory_path() / ("krel-library-" + std::to_string(getpid())), kClips);
    size_t listed = 0;
    krel::bench::report("list_clips_ms", medianMs(kRuns, [&] { listed += krel::listClips(dir).size(); }),
                        "ms");
    int64_t bytes = 0;
    krel::bench::report("folder_bytes_ms", medianMs(kRuns, [&] { bytes += krel::folderBytes(dir); }), "ms");
    if (listed != std::size_t{kRuns} * kClips || bytes <= 0)
        krel::bench::report("list_clips_wrong_count", static_cast<double>(listed), "clips");
    // The same listing as the page gets it: through the dispatcher, as reply
    // text (needs the desktop: run inside scripts/services.sh).
    if (krel::initMainLoop()) {
        krel::Settings settings;
        settings.clipDir = dir.string();
        krel::MainWindow window(settings, nullptr);
        size_t replyBytes = 0;
        krel::bench::report("list_reply_ms", medianMs(kRuns, [&] {
                                replyBytes += krel::handle(R"({"id":1,"cmd":"listClips"})").size();
                            }),
                            "ms");
        krel::bench::report("list_reply_kb", static_cast<double>(replyBytes) / kRuns / 1024.0, "KiB");
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}
