#include "core/hr_error.h"
#include "core/mp4_writer.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <memory>

namespace krel {
namespace {

struct InputClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};

} // namespace

ClipProbe probeClip(const std::filesystem::path& path) {
    AVFormatContext* raw = nullptr;
    checkAv(avformat_open_input(&raw, path.c_str(), nullptr, nullptr),
            "avformat_open_input(&r, path, nullptr, nullptr)");
    std::unique_ptr<AVFormatContext, InputClose> r(raw);
    checkAv(avformat_find_stream_info(r.get(), nullptr), "avformat_find_stream_info(r.get(), nullptr)");

    ClipProbe probe;
    if (r->duration != AV_NOPTS_VALUE && r->duration > 0) {
        probe.durationHns = av_rescale(r->duration, kHnsPerSecond, AV_TIME_BASE);
    }
    const int v = av_find_best_stream(r.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (v >= 0) {
        const AVCodecParameters* par = r->streams[v]->codecpar;
        probe.width = par->width > 0 ? static_cast<uint32_t>(par->width) : 0;
        probe.height = par->height > 0 ? static_cast<uint32_t>(par->height) : 0;
    }
    return probe;
}

} // namespace krel
