#include "core/mp4_writer.h"

#include "core/hr_error.h"
#include "core/output_file.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <cstring>

namespace krel {
namespace {

constexpr AVRational kHnsTimeBase{1, static_cast<int>(kHnsPerSecond)};
// Video track time scale: 90 kHz represents every common frame rate exactly.
constexpr AVRational kVideoTimeBase{1, 90000};
// Cut fragments at video key frames; the moov box goes first without
// samples, so a file cut off by a crash stays readable up to its last
// complete fragment.
constexpr const char* kFragmentedFlags = "frag_keyframe+empty_moov+default_base_moof";

AVCodecID codecId(Codec c) {
    switch (c) {
    case Codec::H264: return AV_CODEC_ID_H264;
    case Codec::Hevc: return AV_CODEC_ID_HEVC;
    case Codec::Av1: return AV_CODEC_ID_AV1;
    case Codec::Aac: return AV_CODEC_ID_AAC;
    }
    return AV_CODEC_ID_NONE;
}

} // namespace

void Mp4Writer::ContextFree::operator()(AVFormatContext* c) const {
    discardOutputFile(c->pb);
    avformat_free_context(c);
}

void Mp4Writer::PacketFree::operator()(AVPacket* p) const { av_packet_free(&p); }

Mp4Writer::Mp4Writer(const std::filesystem::path& path, const StreamDescription& video,
                     const std::optional<StreamDescription>& audio, bool fragmented)
    : path_(path), fragmented_(fragmented) {
    AVFormatContext* raw = nullptr;
    checkAv(avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str()),
            "avformat_alloc_output_context2(&w, nullptr, \"mp4\", path)");
    w_.reset(raw);
    pkt_.reset(av_packet_alloc());
    if (!pkt_) throw HrError("av_packet_alloc()", AVERROR(ENOMEM));

    vs_ = addStream(video);
    if (audio) as_ = addStream(*audio);

    w_->pb = openOutputFile(path);
    AVDictionary* options = nullptr;
    if (fragmented) av_dict_set(&options, "movflags", kFragmentedFlags, 0);
    const int r = avformat_write_header(w_.get(), &options);
    av_dict_free(&options);
    checkAv(r, "avformat_write_header(w_.get(), &options)");
}

Mp4Writer::~Mp4Writer() {
    try {
        finalize();
    } catch (...) {
        // The file may be unplayable; the caller already knows something
        // went wrong or did not finalize on purpose.
    }
}

uint32_t Mp4Writer::addStream(const StreamDescription& d) {
    AVStream* st = avformat_new_stream(w_.get(), nullptr);
    if (!st) throw HrError("avformat_new_stream(w_.get(), nullptr)", AVERROR(ENOMEM));
    AVCodecParameters* par = st->codecpar;
    par->codec_id = codecId(d.codec);
    par->bit_rate = d.bitRate;
    if (d.isVideo()) {
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->width = static_cast<int>(d.width);
        par->height = static_cast<int>(d.height);
        par->format = AV_PIX_FMT_YUV420P;
        par->color_primaries = static_cast<AVColorPrimaries>(d.colorPrimaries);
        par->color_trc = static_cast<AVColorTransferCharacteristic>(d.colorTransfer);
        par->color_space = static_cast<AVColorSpace>(d.colorMatrix);
        par->color_range = d.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        if (d.fpsNum > 0 && d.fpsDen > 0) {
            st->avg_frame_rate = AVRational{static_cast<int>(d.fpsNum), static_cast<int>(d.fpsDen)};
        }
        st->time_base = kVideoTimeBase;
    } else {
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->sample_rate = static_cast<int>(d.sampleRate);
        av_channel_layout_default(&par->ch_layout, static_cast<int>(d.channels));
        par->frame_size = 1024;
        st->time_base = AVRational{1, static_cast<int>(d.sampleRate > 0 ? d.sampleRate : 48000)};
    }
    if (!d.extradata.empty()) {
        par->extradata = static_cast<uint8_t*>(av_mallocz(d.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) throw HrError("av_mallocz(extradata)", AVERROR(ENOMEM));
        std::memcpy(par->extradata, d.extradata.data(), d.extradata.size());
        par->extradata_size = static_cast<int>(d.extradata.size());
    }
    return static_cast<uint32_t>(st->index);
}

void Mp4Writer::writeSample(const Packet& packet, int64_t baseHns) {
    if (finalized_ || packet.data.empty()) return;
    const bool video = packet.stream == kVideoStream;
    const uint32_t target = video ? vs_ : as_;
    if (target == kNoStream) return;

    const AVRational tb = w_->streams[target]->time_base;
    const int64_t t = packet.pts - baseHns;
    int64_t ts = av_rescale_q(t > 0 ? t : 0, kHnsTimeBase, tb);
    int64_t& last = lastTs_[video ? 0 : 1];
    // Rounding into the track's time scale, or several packets before the
    // base time, can map two samples to one time; keep them in order.
    if (ts <= last) ts = last + 1;
    last = ts;

    AVPacket* pkt = pkt_.get();
    // The packet only points at the payload; the mp4 muxer copies it into
    // the file (converting Annex-B to length-prefixed units on the way).
    pkt->data = const_cast<uint8_t*>(packet.data.data());
    pkt->size = static_cast<int>(packet.data.size());
    pkt->stream_index = static_cast<int>(target);
    pkt->pts = ts;
    pkt->dts = ts;
    pkt->duration = av_rescale_q(packet.duration, kHnsTimeBase, tb);
    pkt->flags = (packet.keyframe || !video) ? AV_PKT_FLAG_KEY : 0;
    const int r = av_write_frame(w_.get(), pkt);
    pkt->data = nullptr;
    pkt->size = 0;
    checkAv(r, "av_write_frame(w_.get(), pkt)");
    // A key frame closes the previous fragment: put it on disk now so that a
    // crash loses at most the fragment being written.
    if (fragmented_ && video && packet.keyframe) avio_flush(w_->pb);
}

void Mp4Writer::finalize() {
    if (finalized_) return;
    finalized_ = true;
    checkAv(av_write_trailer(w_.get()), "av_write_trailer(w_.get())");
    closeOutputFile(w_->pb);
}

} // namespace krel
