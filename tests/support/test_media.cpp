#include "test_media.h"

#include "core/clock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace krel::test {
namespace {

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct InputClose {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using AvPacketPtr = std::unique_ptr<AVPacket, PacketFree>;

void check(int r, const char* what) {
    if (r < 0) {
        char buf[128];
        av_strerror(r, buf, sizeof buf);
        throw std::runtime_error(std::string(what) + ": " + buf);
    }
}

void drawFrame(AVFrame* f, int index) {
    // A diagonal gradient with a bright square that moves every frame.
    for (int y = 0; y < f->height; ++y) {
        uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
        for (int x = 0; x < f->width; ++x) row[x] = static_cast<uint8_t>(x + y + index * 3);
    }
    const int size = std::max(8, f->height / 6);
    const int bx = (index * 7) % std::max(1, f->width - size);
    const int by = (index * 3) % std::max(1, f->height - size);
    for (int y = by; y < by + size; ++y)
        std::fill_n(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0] + bx, size, uint8_t{235});
    for (int p = 1; p < 3; ++p) {
        for (int y = 0; y < f->height / 2; ++y) {
            uint8_t* row = f->data[p] + static_cast<ptrdiff_t>(y) * f->linesize[p];
            for (int x = 0; x < f->width / 2; ++x) row[x] = static_cast<uint8_t>(128 + ((x + index) % 32) - 16);
        }
    }
}

PacketPtr toPacket(const AVPacket* pkt, int32_t stream, int64_t pts, int64_t duration) {
    auto p = std::make_shared<Packet>();
    p->pts = pts;
    p->duration = duration;
    p->keyframe = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    p->stream = stream;
    p->data.assign(pkt->data, pkt->data + pkt->size);
    return p;
}

void encodeVideo(const MediaOptions& o, EncodedMedia& out) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) throw std::runtime_error("libx264 not available");
    CodecPtr c(avcodec_alloc_context3(codec));
    c->width = o.width;
    c->height = o.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, o.fps};
    c->framerate = AVRational{o.fps, 1};
    c->gop_size = o.gopFrames;
    c->max_b_frames = 0;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    if (o.globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (o.videoBitRate > 0) {
        c->bit_rate = o.videoBitRate;
        c->rc_max_rate = o.videoBitRate;
        c->rc_buffer_size = static_cast<int>(o.videoBitRate);
    }
    av_opt_set(c->priv_data, "preset", "ultrafast", 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    const std::string params = "keyint=" + std::to_string(o.gopFrames) + ":min-keyint=" + std::to_string(o.gopFrames) +
                               ":scenecut=0:bframes=0" + (o.globalHeader ? "" : ":repeat-headers=1");
    av_opt_set(c->priv_data, "x264-params", params.c_str(), 0);
    check(avcodec_open2(c.get(), codec, nullptr), "avcodec_open2(libx264)");

    out.video.codec = Codec::H264;
    out.video.width = static_cast<uint32_t>(o.width);
    out.video.height = static_cast<uint32_t>(o.height);
    out.video.fpsNum = static_cast<uint32_t>(o.fps);
    out.video.colorPrimaries = out.video.colorTransfer = out.video.colorMatrix = 1;
    if (o.globalHeader && c->extradata_size > 0)
        out.video.extradata.assign(c->extradata, c->extradata + c->extradata_size);

    FramePtr frame(av_frame_alloc());
    frame->format = c->pix_fmt;
    frame->width = o.width;
    frame->height = o.height;
    check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer");
    AvPacketPtr pkt(av_packet_alloc());
    const int64_t frameHns = kHnsPerSecond / o.fps;
    auto drain = [&] {
        while (avcodec_receive_packet(c.get(), pkt.get()) == 0) {
            const int64_t pts = o.startHns + pkt->pts * kHnsPerSecond / o.fps;
            out.videoPackets.push_back(toPacket(pkt.get(), kVideoStream, pts, frameHns));
            av_packet_unref(pkt.get());
        }
    };
    const int frames = static_cast<int>(std::lround(o.seconds * o.fps));
    for (int i = 0; i < frames; ++i) {
        check(av_frame_make_writable(frame.get()), "av_frame_make_writable");
        drawFrame(frame.get(), i);
        frame->pts = i;
        check(avcodec_send_frame(c.get(), frame.get()), "avcodec_send_frame(video)");
        drain();
    }
    check(avcodec_send_frame(c.get(), nullptr), "avcodec_send_frame(video flush)");
    drain();
}

void encodeAudio(const MediaOptions& o, EncodedMedia& out) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    CodecPtr c(avcodec_alloc_context3(codec));
    c->sample_rate = 48000;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&c->ch_layout, 2);
    c->bit_rate = 192000;
    c->time_base = AVRational{1, 48000};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    check(avcodec_open2(c.get(), codec, nullptr), "avcodec_open2(aac)");

    out.audio.codec = Codec::Aac;
    out.audio.sampleRate = 48000;
    out.audio.channels = 2;
    out.audio.bitRate = 192000;
    out.audio.extradata.assign(c->extradata, c->extradata + c->extradata_size);

    FramePtr frame(av_frame_alloc());
    frame->format = c->sample_fmt;
    frame->nb_samples = c->frame_size;
    frame->sample_rate = 48000;
    av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
    check(av_frame_get_buffer(frame.get(), 0), "av_frame_get_buffer(audio)");
    AvPacketPtr pkt(av_packet_alloc());
    const int64_t start = o.startHns - o.audioLeadHns;
    auto drain = [&] {
        while (avcodec_receive_packet(c.get(), pkt.get()) == 0) {
            const int64_t pts = start + pkt->pts * kHnsPerSecond / 48000;
            const int64_t dur = pkt->duration * kHnsPerSecond / 48000;
            out.audioPackets.push_back(toPacket(pkt.get(), kAudioStream, pts, dur));
            av_packet_unref(pkt.get());
        }
    };
    const int64_t total = static_cast<int64_t>((o.seconds + o.audioLeadHns / 1e7) * 48000);
    for (int64_t s = 0; s < total; s += c->frame_size) {
        check(av_frame_make_writable(frame.get()), "av_frame_make_writable(audio)");
        for (int ch = 0; ch < 2; ++ch) {
            auto* samples = reinterpret_cast<float*>(frame->data[ch]);
            for (int i = 0; i < c->frame_size; ++i)
                samples[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(s + i) / 48000.0));
        }
        frame->pts = s;
        check(avcodec_send_frame(c.get(), frame.get()), "avcodec_send_frame(audio)");
        drain();
    }
    check(avcodec_send_frame(c.get(), nullptr), "avcodec_send_frame(audio flush)");
    drain();
}

} // namespace

EncodedMedia encodeTestMedia(const MediaOptions& options) {
    av_log_set_level(AV_LOG_ERROR);
    EncodedMedia out;
    encodeVideo(options, out);
    if (options.audio) encodeAudio(options, out);
    return out;
}

std::vector<PacketPtr> interleaved(const EncodedMedia& media) {
    std::vector<PacketPtr> all = media.videoPackets;
    all.insert(all.end(), media.audioPackets.begin(), media.audioPackets.end());
    std::stable_sort(all.begin(), all.end(), [](const PacketPtr& a, const PacketPtr& b) { return a->pts < b->pts; });
    return all;
}

const StreamReadBack* FileReadBack::video() const {
    for (const auto& s : streams)
        if (s.codec == "h264" || s.codec == "hevc" || s.codec == "av1") return &s;
    return nullptr;
}

const StreamReadBack* FileReadBack::audio() const {
    for (const auto& s : streams)
        if (s.codec == "aac") return &s;
    return nullptr;
}

FileReadBack readBack(const std::filesystem::path& path) {
    AVFormatContext* raw = nullptr;
    check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), "avformat_open_input");
    std::unique_ptr<AVFormatContext, InputClose> in(raw);
    check(avformat_find_stream_info(in.get(), nullptr), "avformat_find_stream_info");

    FileReadBack result;
    result.durationSeconds = in->duration > 0 ? static_cast<double>(in->duration) / AV_TIME_BASE : 0;
    std::vector<CodecPtr> decoders(in->nb_streams);
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        const AVCodecParameters* par = in->streams[i]->codecpar;
        StreamReadBack s;
        s.codec = avcodec_get_name(par->codec_id);
        s.width = par->width;
        s.height = par->height;
        result.streams.push_back(s);
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            const AVCodec* dec = avcodec_find_decoder(par->codec_id);
            decoders[i].reset(avcodec_alloc_context3(dec));
            check(avcodec_parameters_to_context(decoders[i].get(), par), "avcodec_parameters_to_context");
            check(avcodec_open2(decoders[i].get(), dec, nullptr), "avcodec_open2(decoder)");
        }
    }
    AvPacketPtr pkt(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    auto receive = [&](unsigned i) {
        StreamReadBack& s = result.streams[i];
        int r;
        while ((r = avcodec_receive_frame(decoders[i].get(), frame.get())) == 0) {
            ++s.decodedFrames;
            av_frame_unref(frame.get());
        }
        if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) ++s.decodeErrors;
    };
    while (av_read_frame(in.get(), pkt.get()) >= 0) {
        const unsigned i = static_cast<unsigned>(pkt->stream_index);
        StreamReadBack& s = result.streams[i];
        const double tb = av_q2d(in->streams[i]->time_base);
        const double pts = static_cast<double>(pkt->pts) * tb;
        if (s.packets == 0) {
            s.firstPts = pts;
            s.minPts = pts;
            s.firstIsKey = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        }
        s.minPts = std::min(s.minPts, pts);
        s.lastEnd = std::max(s.lastEnd, pts + static_cast<double>(pkt->duration) * tb);
        ++s.packets;
        if (decoders[i]) {
            if (avcodec_send_packet(decoders[i].get(), pkt.get()) < 0) ++s.decodeErrors;
            receive(i);
        }
        av_packet_unref(pkt.get());
    }
    for (unsigned i = 0; i < decoders.size(); ++i) {
        if (!decoders[i]) continue;
        avcodec_send_packet(decoders[i].get(), nullptr);
        receive(i);
    }
    return result;
}

nlohmann::json ffprobe(const std::filesystem::path& path) {
    const std::string cmd = "ffprobe -v error -count_packets -show_streams -show_format -of json '" +
                            path.string() + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    if (!pipe) throw std::runtime_error("popen ffprobe");
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe.get())) > 0) text.append(buf, n);
    return nlohmann::json::parse(text, nullptr, false);
}

} // namespace krel::test
