// Replay buffer and clip writing at the product's default load: 60 s of
// 1080p60 H.264 at 25 Mbit/s plus 192 kbit/s AAC.

#include "bench.h"

#include "core/clip_writer.h"
#include "core/replay_buffer.h"
#include "test_media.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int64_t kSec = 10'000'000;

// fsync of a file and of its folder, as a clip's durable save does.
void syncFileAndFolder(const fs::path& file) {
    for (const fs::path& p : {file, file.parent_path()}) {
        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) throw std::runtime_error("fsync " + p.string());
        ::close(fd);
    }
}

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// One real 2 s GOP of 1080p60 at 25 Mbit/s, repeated with shifted times to
// `seconds` of media, packets in the interleaved order of live producers.
std::vector<krel::PacketPtr> repeatedMedia(const krel::test::EncodedMedia& gop, int seconds) {
    std::vector<krel::PacketPtr> out;
    for (int rep = 0; rep < seconds / 2; ++rep) {
        for (const auto& p : krel::test::interleaved(gop)) {
            auto copy = std::make_shared<krel::Packet>(*p);
            copy->pts += rep * 2 * kSec;
            out.push_back(std::move(copy));
        }
    }
    return out;
}

// The same packets as a Matroska file, the input of the ffmpeg comparison.
void writeMatroska(const fs::path& path, const krel::test::EncodedMedia& desc, const std::vector<krel::PacketPtr>& packets) {
    AVFormatContext* ctx = nullptr;
    if (avformat_alloc_output_context2(&ctx, nullptr, "matroska", path.c_str()) < 0) throw std::runtime_error("mkv");
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> holder(ctx, [](AVFormatContext* c) {
        if (c->pb) avio_closep(&c->pb);
        avformat_free_context(c);
    });
    AVStream* v = avformat_new_stream(ctx, nullptr);
    v->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    v->codecpar->codec_id = AV_CODEC_ID_H264;
    v->codecpar->width = static_cast<int>(desc.video.width);
    v->codecpar->height = static_cast<int>(desc.video.height);
    v->time_base = {1, 1000};
    const auto& key = packets.front()->data; // parameter sets from the key frame
    v->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(key.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(key.begin(), key.end(), v->codecpar->extradata);
    v->codecpar->extradata_size = static_cast<int>(std::min<size_t>(key.size(), 64));
    AVStream* a = avformat_new_stream(ctx, nullptr);
    a->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    a->codecpar->codec_id = AV_CODEC_ID_AAC;
    a->codecpar->sample_rate = 48000;
    av_channel_layout_default(&a->codecpar->ch_layout, 2);
    a->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(desc.audio.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(desc.audio.extradata.begin(), desc.audio.extradata.end(), a->codecpar->extradata);
    a->codecpar->extradata_size = static_cast<int>(desc.audio.extradata.size());
    if (avio_open(&ctx->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(ctx, nullptr) < 0)
        throw std::runtime_error("mkv header");
    AVPacket* pkt = av_packet_alloc();
    const int64_t base = packets.front()->pts;
    for (const auto& p : packets) {
        AVStream* st = p->stream == 0 ? v : a;
        pkt->data = const_cast<uint8_t*>(p->data.data());
        pkt->size = static_cast<int>(p->data.size());
        pkt->stream_index = st->index;
        pkt->pts = pkt->dts = av_rescale_q(p->pts - base, {1, static_cast<int>(kSec)}, st->time_base);
        pkt->duration = av_rescale_q(p->duration, {1, static_cast<int>(kSec)}, st->time_base);
        pkt->flags = p->keyframe ? AV_PKT_FLAG_KEY : 0;
        av_interleaved_write_frame(ctx, pkt);
    }
    av_packet_free(&pkt);
    av_write_trailer(ctx);
}

// CPU time (user + system) of this process's threads, or of its waited-for
// children, in milliseconds.
double cpuMs(int who) {
    rusage u{};
    getrusage(who, &u);
    auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

KREL_BENCH("replay") {
    krel::test::MediaOptions o;
    o.width = 1920;
    o.height = 1080;
    o.seconds = 2;
    o.videoBitRate = 25'000'000;
    o.startHns = 0;
    const auto gop = krel::test::encodeTestMedia(o);
    const auto packets = repeatedMedia(gop, 120);

    // Push: the first 60 s fill the buffer, the timed second 60 s run with a
    // full buffer that trims a GOP every 2 s.
    krel::ReplayBuffer buffer;
    const size_t half = packets.size() / 2;
    for (size_t i = 0; i < half; ++i) buffer.push(packets[i]);
    const auto t0 = Clock::now();
    for (size_t i = half; i < packets.size(); ++i) buffer.push(packets[i]);
    const double pushNs = msSince(t0) * 1e6 / static_cast<double>(packets.size() - half);
    krel::bench::report("replay_push_ns", pushNs, "ns");

    std::vector<double> snaps;
    std::vector<krel::PacketPtr> snap;
    for (int i = 0; i < 20; ++i) {
        const auto t = Clock::now();
        snap = buffer.snapshot(60 * kSec);
        snaps.push_back(msSince(t));
    }
    krel::bench::report("replay_snapshot_ms", median(snaps), "ms");
    krel::bench::report("replay_buffered_mb", static_cast<double>(buffer.byteCount()) / (1 << 20), "MiB");

    // Clip write against ffmpeg's stream copy of the same media.
    const fs::path dir = fs::temp_directory_path() / ("krel-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::vector<krel::PacketPtr> sorted = snap;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a->pts < b->pts; });
    writeMatroska(dir / "in.mkv", gop, sorted);
    std::vector<double> ours, theirs, theirsSynced, oursCpu, theirsCpu;
    // Every run writes a new file, as every clip has a new name (replacing
    // a large file costs the file system extra work on both sides).
    for (int i = 0; i < 5; ++i) {
        const std::string n = std::to_string(i);
        const std::string cmd = "ffmpeg -nostdin -y -v error -i '" + (dir / "in.mkv").string() + "' -c copy '" +
                                (dir / ("ffmpeg" + n + ".mp4")).string() + "'";
        auto t = Clock::now();
        double c = cpuMs(RUSAGE_THREAD);
        krel::writeReplayClip(dir / ("clip" + n + ".mp4"), snap, gop.video, gop.audio);
        ours.push_back(msSince(t));
        oursCpu.push_back(cpuMs(RUSAGE_THREAD) - c);
        t = Clock::now();
        c = cpuMs(RUSAGE_CHILDREN);
        if (std::system(cmd.c_str()) != 0) throw std::runtime_error("ffmpeg failed");
        theirs.push_back(msSince(t));
        theirsCpu.push_back(cpuMs(RUSAGE_CHILDREN) - c);
        // Our clip reaches the medium before it is reported (file and
        // folder synced); the same for ffmpeg's copy, for a like comparison.
        syncFileAndFolder(dir / ("ffmpeg" + n + ".mp4"));
        theirsSynced.push_back(msSince(t));
    }
    const double clipMs = median(ours), ffmpegMs = median(theirs);
    krel::bench::report("clip_write_ms", clipMs, "ms");
    krel::bench::report("ffmpeg_copy_ms", ffmpegMs, "ms");
    krel::bench::report("clip_write_vs_ffmpeg", clipMs / ffmpegMs, "ratio");
    krel::bench::report("ffmpeg_copy_fsync_ms", median(theirsSynced), "ms");
    krel::bench::report("clip_write_vs_ffmpeg_fsync", clipMs / median(theirsSynced), "ratio");
    // CPU time is steadier than wall time on a busy machine.
    krel::bench::report("clip_write_cpu_ms", median(oursCpu), "ms");
    krel::bench::report("ffmpeg_copy_cpu_ms", median(theirsCpu), "ms");
    fs::remove_all(dir);
}
