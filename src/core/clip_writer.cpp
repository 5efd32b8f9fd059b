#include "core/clip_writer.h"

#include "core/hr_error.h"
#include "core/mp4_writer.h"
#include "core/output_file.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace krel {

void writeReplayClip(const std::filesystem::path& finalPath, const std::vector<PacketPtr>& packets,
                     const StreamDescription& video, const std::optional<StreamDescription>& audio) {
    const auto key = std::find_if(packets.begin(), packets.end(),
                                  [](const PacketPtr& p) { return p->stream == kVideoStream && p->keyframe; });
    if (key == packets.end()) throw std::runtime_error("Noch keine Aufnahme im Videobeweis");

    const bool withAudio =
        audio && std::any_of(packets.begin(), packets.end(), [](const PacketPtr& p) { return p->stream == kAudioStream; });
    const StreamDescription sinkVideo = makeSinkVideoType(video, (*key)->data);
    const int64_t base = (*key)->pts;

    std::filesystem::path part = finalPath;
    part += ".part";
    {
        Mp4Writer writer(part, sinkVideo, withAudio ? audio : std::nullopt, false);
        // Sort plain pointers: the snapshot keeps the packets alive, and no
        // reference counts need touching.
        std::vector<const Packet*> sorted;
        sorted.reserve(packets.size());
        for (const auto& p : packets) sorted.push_back(p.get());
        std::stable_sort(sorted.begin(), sorted.end(), [](const Packet* a, const Packet* b) { return a->pts < b->pts; });

        for (const Packet* p : sorted) {
            if (p->pts < base) continue;
            if (p->stream != kVideoStream && (!withAudio || p->stream != kAudioStream)) continue;
            if (p->data.empty()) continue;
            writer.writeSample(*p, base);
        }
        writer.finalize();
    }

    // The data is on the medium (the writer synced the file when it closed
    // it); the rename and then the folder follow, so the final name never
    // names a file whose contents could still be lost.
    std::error_code ec;
    std::filesystem::rename(part, finalPath, ec);
    if (ec) throw HrError("Clip umbenennen", -ec.value());
    syncFolderOf(finalPath);
}

} // namespace krel
