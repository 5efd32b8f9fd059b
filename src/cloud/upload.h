#pragma once
// The chunked clip upload: announce the clip with its metadata, send the file
// in numbered chunks (each retried on transient failures), declare it
// complete; every failure after the announcement withdraws the clip again.
// Blocks the calling worker thread; several uploads may run at once and share
// nothing but the read-only account file. Only one chunk is held in memory.

#include "cloud/cloud_api.h"
#include "cloud/http_client.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace krel {

inline constexpr uint64_t kMinUploadSize = 1000;
inline constexpr uint64_t kDefaultChunkSize = 4194304;
inline constexpr int kChunkAttempts = 3;

// Uploads the clip at `path` with the game name; `progress` (may be empty)
// receives (i + 1) / chunks after every accepted chunk, reaching exactly 1.0
// before the completion call.
ApiResult uploadClip(const std::filesystem::path& path, const std::string& game,
                     const ProgressCallback& progress);

// What the upload command thread reports, each on the upload's own thread.
// The user-interface host forwards them to the page and the notices.
struct UploadEvents {
    // The whole percentage, each time it changes (first report always).
    std::function<void(const std::string& file, int percent)> progress;
    // The closing notice: "In die Cloud hochgeladen" (success true) or
    // "Cloud-Upload fehlgeschlagen" (success false).
    std::function<void(const std::string& text, bool success)> notice;
    // The command's result, last of all.
    std::function<void(const ApiResult& result)> done;
};

// The "cloudUpload" command's thread body: logs the start and the end,
// runs uploadClip and reports through `events` (members may be empty).
void runUploadCommand(const std::filesystem::path& path, const std::string& game, const std::string& file,
                      const UploadEvents& events);

} // namespace krel
