#pragma once
// Writes a replay-buffer snapshot as one MP4 clip.

#include "core/packet.h"
#include "core/stream_description.h"

#include <filesystem>
#include <optional>
#include <vector>

namespace krel {

// Writes `packets` (a snapshot: video first, then audio, each in arrival
// order) to `finalPath`: starts at the first video key frame in snapshot
// order (time 0), sorts by pts (stable), drops packets before that key frame,
// packets of unknown streams, audio when the clip has none and empty
// payloads, writes "<finalPath>.part" and renames it over `finalPath`.
// The clip has audio when `audio` is given and the snapshot holds audio.
//
// Throws std::runtime_error("Noch keine Aufnahme im Videobeweis") without a
// key frame, HrError naming the failing call otherwise ("Clip umbenennen"
// for the rename). The file is forced to the medium before the rename and
// the folder after it. After a failure no file exists under `finalPath` that
// this call created (except when only the folder sync failed: the clip is
// then complete under its name, but may not survive a power cut); the
// ".part" file may remain. Touches no shared state: clips
// may be written concurrently on different threads.
void writeReplayClip(const std::filesystem::path& finalPath, const std::vector<PacketPtr>& packets,
                     const StreamDescription& video, const std::optional<StreamDescription>& audio);

} // namespace krel
