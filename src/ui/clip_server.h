#pragma once
// Serves the clip folder to the overlay's player over loopback HTTP: only
// regular files directly in the folder whose names pass the library's name
// rules and end in ".mp4", never through a link, as video/mp4 with byte
// ranges (206), so the player can seek and thumbnails can show a clip at
// 1 s. Addresses carry a random key made at start, so nothing else on the
// machine can guess them.

#include <filesystem>
#include <string>

namespace krel {

// Makes `folder` the served one and returns the base address (ending in
// "/") that a URL-encoded file name completes; empty when the server
// cannot run. Any thread.
std::string serveClipFolder(const std::filesystem::path& folder);

} // namespace krel
