#include "media/aac_encoder.h"

#include "core/hr_error.h"
#include "media/audio_format.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace krel {
namespace {

// Floor division, so that the priming frames before the anchor map to times
// that continue the same grid.
int64_t floorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

} // namespace

void AacEncoder::CodecFree::operator()(AVCodecContext* c) const {
    avcodec_free_context(&c);
}
void AacEncoder::FrameFree::operator()(AVFrame* f) const {
    av_frame_free(&f);
}
void AacEncoder::PacketFree::operator()(AVPacket* p) const {
    av_packet_free(&p);
}

AacEncoder::AacEncoder() {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) throw std::runtime_error("Kein AAC-Encoder");

    ctx_.reset(avcodec_alloc_context3(codec));
    if (!ctx_) throw HrError("avcodec_alloc_context3(codec)", AVERROR(ENOMEM));
    ctx_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx_->sample_rate = static_cast<int>(kAudioRate);
    av_channel_layout_default(&ctx_->ch_layout, kAudioChannels);
    ctx_->bit_rate = kAacBitRate;
    ctx_->time_base = AVRational{1, static_cast<int>(kAudioRate)};
    // The AudioSpecificConfig goes out of band (MP4), not into each packet.
    ctx_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    checkAv(avcodec_open2(ctx_.get(), codec, nullptr), "avcodec_open2(ctx, aac, nullptr)");
    if (ctx_->frame_size > 0) frameSize_ = static_cast<size_t>(ctx_->frame_size);

    frame_.reset(av_frame_alloc());
    pkt_.reset(av_packet_alloc());
    if (!frame_ || !pkt_) throw HrError("av_frame_alloc/av_packet_alloc", AVERROR(ENOMEM));
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->nb_samples = static_cast<int>(frameSize_);
    frame_->sample_rate = ctx_->sample_rate;
    checkAv(av_channel_layout_copy(&frame_->ch_layout, &ctx_->ch_layout), "av_channel_layout_copy");
    checkAv(av_frame_get_buffer(frame_.get(), 0), "av_frame_get_buffer(frame, 0)");

    outType_.codec = Codec::Aac;
    outType_.sampleRate = static_cast<uint32_t>(kAudioRate);
    outType_.channels = kAudioChannels;
    outType_.bitRate = kAacBitRate;
    if (ctx_->extradata != nullptr && ctx_->extradata_size > 0) {
        outType_.extradata.assign(ctx_->extradata, ctx_->extradata + ctx_->extradata_size);
    }
    pendingL_.resize(frameSize_);
    pendingR_.resize(frameSize_);
}

AacEncoder::~AacEncoder() = default;

int64_t AacEncoder::hnsAt(int64_t frameIndex) const {
    return anchorHns_ + floorDiv((frameIndex - anchorFrame_) * kAudioHnsPerSecond, kAudioRate);
}

void AacEncoder::encode(const int16_t* pcm, size_t frames, int64_t timeHns, const PacketSink& sink) {
    if (flushed_ || frames == 0) return;
    // Frame index of this block's first frame.
    const int64_t blockFrame = sentFrames_ + static_cast<int64_t>(pending_);
    if (!anchored_) {
        anchored_ = true;
        anchorHns_ = timeHns;
        anchorFrame_ = blockFrame;
    } else {
        // A caller that stamps from its own frame count lands exactly on the
        // grid; anything further off than one frame is a real jump.
        const int64_t diff = timeHns - hnsAt(blockFrame);
        if (diff > framesToHns(1) || diff < -framesToHns(1)) {
            anchorHns_ = timeHns;
            anchorFrame_ = blockFrame;
        }
    }

    while (frames > 0) {
        const size_t run = std::min(frames, frameSize_ - pending_);
        float* l = pendingL_.data() + pending_;
        float* r = pendingR_.data() + pending_;
        for (size_t i = 0; i < run; ++i) {
            l[i] = static_cast<float>(pcm[2 * i]) / 32768.0f;
            r[i] = static_cast<float>(pcm[2 * i + 1]) / 32768.0f;
        }
        pcm += 2 * run;
        frames -= run;
        pending_ += run;
        if (pending_ == frameSize_) sendFrame(frameSize_, sink);
    }
}

void AacEncoder::flush(const PacketSink& sink) {
    if (flushed_) return;
    flushed_ = true;
    if (pending_ > 0) {
        // The encoder accepts a short last frame.
        sendFrame(pending_, sink);
    }
    checkAv(avcodec_send_frame(ctx_.get(), nullptr), "avcodec_send_frame(ctx, nullptr)");
    receivePackets(sink);
}

void AacEncoder::sendFrame(size_t frames, const PacketSink& sink) {
    pending_ = 0;
    checkAv(av_frame_make_writable(frame_.get()), "av_frame_make_writable(frame)");
    frame_->nb_samples = static_cast<int>(frames);
    std::memcpy(frame_->data[0], pendingL_.data(), frames * sizeof(float));
    std::memcpy(frame_->data[1], pendingR_.data(), frames * sizeof(float));
    frame_->pts = sentFrames_;
    sentFrames_ += static_cast<int64_t>(frames);
    checkAv(avcodec_send_frame(ctx_.get(), frame_.get()), "avcodec_send_frame(ctx, frame)");
    receivePackets(sink);
}

void AacEncoder::receivePackets(const PacketSink& sink) {
    for (;;) {
        const int r = avcodec_receive_packet(ctx_.get(), pkt_.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
        checkAv(r, "avcodec_receive_packet(ctx, pkt)");
        auto packet = std::make_shared<Packet>();
        // Packet times count frames of the encoder's input, including its
        // priming delay before frame 0.
        const int64_t start = pkt_->pts;
        const int64_t length = pkt_->duration > 0 ? pkt_->duration : static_cast<int64_t>(frameSize_);
        packet->pts = hnsAt(start);
        packet->duration = hnsAt(start + length) - packet->pts;
        packet->keyframe = true;
        packet->stream = kAudioStream;
        packet->data.assign(pkt_->data, pkt_->data + pkt_->size);
        av_packet_unref(pkt_.get());
        if (!packet->data.empty()) sink(packet);
    }
}

} // namespace krel
