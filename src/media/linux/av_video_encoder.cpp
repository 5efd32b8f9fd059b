// VideoEncoder over libavcodec: libx264 for the software record, h264/hevc
// _vaapi on VA-API adapters, _nvenc on NVIDIA.

#include "media/video_encoder.h"

#include "config/log.h"
#include "core/annexb.h"
#include "core/hr_error.h"
#include "core/thread_name.h"
#include "media/encoder_queue.h"
#include "media/encoder_settings.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
}

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <span>
#include <stdexcept>
#include <thread>

namespace krel {
namespace {

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct AvPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct BufferUnref {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
struct DictFree {
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using AvPacketPtr = std::unique_ptr<AVPacket, AvPacketFree>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferUnref>;

// True when an Annex-B payload carries every parameter set of its codec
// (H.264: SPS and PPS; HEVC: VPS, SPS and PPS).
bool hasParameterSets(Codec codec, std::span<const uint8_t> payload) {
    bool vps = codec != Codec::Hevc, sps = false, pps = false;
    for (auto nal : splitNalUnits(payload)) {
        if (nal.empty()) continue;
        if (codec == Codec::Hevc) {
            const int t = (nal[0] >> 1) & 0x3F;
            vps = vps || t == 32;
            sps = sps || t == 33;
            pps = pps || t == 34;
        } else {
            const int t = nal[0] & 0x1F;
            sps = sps || t == 7;
            pps = pps || t == 8;
        }
    }
    return vps && sps && pps;
}

} // namespace

struct VideoEncoder::Impl {
    EncoderConfig cfg;
    PacketSink sink;
    Codec codec = Codec::H264;
    EncoderBackend backend = EncoderBackend::Software;
    std::string name;
    int64_t frameHns = 0;

    CodecContextPtr ctx;
    BufferPtr framesCtx; // VA surfaces for the pool
    std::array<FramePtr, EncoderQueue::kSlots> frames;
    std::array<bool, EncoderQueue::kSlots> inEncoder{}; // encoder thread only
    AvPacketPtr pkt;
    EncoderQueue queue;

    std::atomic<bool> stopping{false};
    std::atomic<bool> drained{false};
    // The destructor waits at most kDrainWaitMs for the drain; after that the
    // thread owns this Impl (orphaned) and deletes it when it ends. The sink
    // is called under sinkLock and dropped there, so it is never called once
    // the destructor returned.
    std::mutex endLock;
    std::condition_variable ended;
    bool orphaned = false; // guarded by endLock
    std::mutex sinkLock;

    mutable std::mutex outLock;
    std::optional<StreamDescription> outType;
    std::vector<uint8_t> parameterSets; // encoder thread only
    std::thread thread;

    void open(const D3D& d3d);
    void allocatePool();
    int slotOf(const AVFrame* frame) const;
    void run();
    void encode(const EncoderQueue::Entry& entry);
    void receivePackets();
    void deliver(const AVPacket& p);
    void reclaimSlots();
};

void VideoEncoder::Impl::open(const D3D& d3d) {
    backend = d3d.backend;
    name = encoderNameFor(backend, codec);
    const AVCodec* encoder = name.empty() ? nullptr : avcodec_find_encoder_by_name(name.c_str());
    if (!encoder) throw std::runtime_error("Kein Hardware-Encoder für diesen Codec");

    const AVPixelFormat wanted = backend == EncoderBackend::Vaapi ? AV_PIX_FMT_VAAPI : AV_PIX_FMT_NV12;
    bool takesNv12 = encoder->pix_fmts == nullptr;
    for (const AVPixelFormat* f = encoder->pix_fmts; f && *f != AV_PIX_FMT_NONE; ++f)
        takesNv12 = takesNv12 || *f == wanted;
    if (!takesNv12) throw std::runtime_error("Encoder nimmt kein NV12 an");

    ctx.reset(avcodec_alloc_context3(encoder));
    if (!ctx) throw HrError("avcodec_alloc_context3(encoder)", AVERROR(ENOMEM));
    applyEncoderSettings(ctx.get(), encoderSettings(backend, codec, cfg));
    ctx->pix_fmt = wanted;

    if (backend == EncoderBackend::Vaapi) {
        if (!d3d.hwDevice) throw HrError("d3d.hwDevice", AVERROR(EINVAL));
        framesCtx.reset(av_hwframe_ctx_alloc(d3d.hwDevice.get()));
        if (!framesCtx) throw HrError("av_hwframe_ctx_alloc(d3d.hwDevice.get())", AVERROR(ENOMEM));
        auto* fc = reinterpret_cast<AVHWFramesContext*>(framesCtx->data);
        fc->format = AV_PIX_FMT_VAAPI;
        fc->sw_format = AV_PIX_FMT_NV12;
        fc->width = cfg.width;
        fc->height = cfg.height;
        fc->initial_pool_size = EncoderQueue::kSlots;
        checkAv(av_hwframe_ctx_init(framesCtx.get()), "av_hwframe_ctx_init(framesCtx.get())");
        ctx->hw_frames_ctx = av_buffer_ref(framesCtx.get());
        if (!ctx->hw_frames_ctx) throw HrError("av_buffer_ref(framesCtx.get())", AVERROR(ENOMEM));
    } else if (backend == EncoderBackend::Nvenc && d3d.hwDevice) {
        ctx->hw_device_ctx = av_buffer_ref(d3d.hwDevice.get());
    }

    checkAv(avcodec_open2(ctx.get(), encoder, nullptr), "avcodec_open2(ctx.get(), encoder, nullptr)");
}

void VideoEncoder::Impl::allocatePool() {
    for (auto& f : frames) {
        f.reset(av_frame_alloc());
        if (!f) throw HrError("av_frame_alloc()", AVERROR(ENOMEM));
        if (framesCtx) {
            checkAv(av_hwframe_get_buffer(framesCtx.get(), f.get(), 0),
                    "av_hwframe_get_buffer(framesCtx.get(), f.get(), 0)");
        } else {
            f->format = AV_PIX_FMT_NV12;
            f->width = cfg.width;
            f->height = cfg.height;
            checkAv(av_frame_get_buffer(f.get(), 64), "av_frame_get_buffer(f.get(), 64)");
        }
        f->color_primaries = AVCOL_PRI_BT709;
        f->color_trc = AVCOL_TRC_BT709;
        f->colorspace = AVCOL_SPC_BT709;
        f->color_range = AVCOL_RANGE_MPEG;
        f->sample_aspect_ratio = {1, 1};
    }
    pkt.reset(av_packet_alloc());
    if (!pkt) throw HrError("av_packet_alloc()", AVERROR(ENOMEM));
}

int VideoEncoder::Impl::slotOf(const AVFrame* frame) const {
    for (size_t i = 0; i < frames.size(); ++i)
        if (frame && frames[i].get() == frame) return static_cast<int>(i);
    return -1;
}

void VideoEncoder::Impl::run() {
    nameThisThread("krel-encode");
    // Above normal where the system allows it (needs CAP_SYS_NICE); a slow
    // frame must not wait behind ordinary work.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -5);
    while (auto entry = queue.waitForInput()) {
        try {
            encode(*entry);
            receivePackets();
        } catch (const std::exception& e) {
            logLine(fmt::format("Encoder: {}", e.what()));
        }
        reclaimSlots();
    }
    // Drain: whatever the encoder still holds comes out and is delivered.
    try {
        const int r = avcodec_send_frame(ctx.get(), nullptr);
        if (r < 0 && r != AVERROR_EOF) throw HrError("avcodec_send_frame(ctx.get(), nullptr)", r);
        receivePackets();
    } catch (const std::exception& e) {
        logLine(fmt::format("Encoder: {}", e.what()));
    }
    reclaimSlots();
    std::unique_lock lock(endLock);
    drained.store(true);
    if (orphaned) {
        lock.unlock();
        ctx.reset(); // the encoder's references go before the pool
        delete this;
        return;
    }
    ended.notify_all();
}

void VideoEncoder::Impl::encode(const EncoderQueue::Entry& entry) {
    AVFrame* f = frames[entry.slot].get();
    try {
        f->pts = entry.pts;
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
        f->duration = frameHns;
#else
        f->pkt_duration = frameHns;
#endif
        f->pict_type = entry.keyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        const int r = avcodec_send_frame(ctx.get(), f);
        if (r < 0) {
            logLine(fmt::format("Encoder: avcodec_send_frame 0x{:08X}", static_cast<uint32_t>(r)));
            queue.addDropped();
            queue.releaseSlot(entry.slot);
            return;
        }
        inEncoder[entry.slot] = true;
    } catch (const std::exception& e) {
        logLine(fmt::format("Encoder-Eingabe: {}", e.what()));
        queue.releaseSlot(entry.slot);
    }
}

void VideoEncoder::Impl::receivePackets() {
    for (;;) {
        const int r = avcodec_receive_packet(ctx.get(), pkt.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
        checkAv(r, "avcodec_receive_packet(ctx.get(), pkt.get())");
        try {
            deliver(*pkt);
        } catch (...) {
            av_packet_unref(pkt.get());
            throw;
        }
        av_packet_unref(pkt.get());
    }
}

void VideoEncoder::Impl::deliver(const AVPacket& p) {
    if (p.size <= 0) return;
    const std::span<const uint8_t> payload(p.data, static_cast<size_t>(p.size));
    auto packet = std::make_shared<Packet>();
    packet->pts = p.pts;
    packet->duration = p.duration > 0 ? p.duration : frameHns;
    packet->keyframe = (p.flags & AV_PKT_FLAG_KEY) != 0;
    packet->stream = kVideoStream;

    const bool annexB = codec != Codec::Av1;
    if (annexB && packet->keyframe) {
        if (hasParameterSets(codec, payload)) {
            parameterSets = extractParameterSets(payload, codec == Codec::Hevc);
        } else if (!parameterSets.empty()) {
            // A key frame must stand alone: put the known parameter sets in front.
            packet->data.reserve(parameterSets.size() + payload.size());
            packet->data.assign(parameterSets.begin(), parameterSets.end());
        }
    }
    packet->data.insert(packet->data.end(), payload.begin(), payload.end());

    {
        std::lock_guard lock(outLock);
        if (!outType) {
            StreamDescription d;
            d.codec = codec;
            d.width = static_cast<uint32_t>(cfg.width);
            d.height = static_cast<uint32_t>(cfg.height);
            d.fpsNum = static_cast<uint32_t>(cfg.fps);
            d.fpsDen = 1;
            d.colorPrimaries = 1;
            d.colorTransfer = 1;
            d.colorMatrix = 1;
            d.fullRange = false;
            d.bitRate = cfg.rate == 2 ? 0 : static_cast<uint32_t>(cfg.bitrateKbps) * 1000;
            if (ctx->extradata_size > 0 && annexB && ctx->extradata[0] == 0)
                d.extradata.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
            else if (annexB)
                d.extradata = parameterSets;
            outType = std::move(d);
        }
    }
    std::lock_guard lock(sinkLock);
    if (sink) sink(std::move(packet));
}

// A slot is free again once the encoder holds no reference to its frame.
void VideoEncoder::Impl::reclaimSlots() {
    for (uint32_t i = 0; i < frames.size(); ++i) {
        if (!inEncoder[i]) continue;
        AVBufferRef* buf = frames[i]->buf[0];
        if (buf && av_buffer_get_ref_count(buf) > 1) continue;
        inEncoder[i] = false;
        queue.releaseSlot(i);
    }
}

VideoEncoder::VideoEncoder(const D3D& d3d, const EncoderConfig& cfg, PacketSink sink)
    : impl_(std::make_unique<Impl>()) {
    Impl& I = *impl_;
    I.cfg = cfg;
    I.sink = std::move(sink);
    I.codec = codecOf(cfg.codec);
    I.frameHns = kHnsPerSecond / std::max(cfg.fps, 1);
    I.open(d3d);
    I.allocatePool();
    I.thread = std::thread([&I] { I.run(); });
    logLine(fmt::format("Encoder: {} {}x{} @{} fps, {} kbit/s", I.name, cfg.width, cfg.height, cfg.fps,
                        cfg.bitrateKbps));
}

VideoEncoder::~VideoEncoder() {
    Impl& I = *impl_;
    I.stopping.store(true);
    I.queue.stop();
    std::unique_lock lock(I.endLock);
    if (!I.ended.wait_for(lock, std::chrono::milliseconds(kDrainWaitMs), [&I] { return I.drained.load(); })) {
        // A driver that does not finish must not hold up the engine: the
        // thread ends on its own and takes its state with it.
        logLine(fmt::format("Encoder: {} leert nicht in {} ms, abgebrochen", I.name, kDrainWaitMs));
        {
            std::lock_guard sinkLock(I.sinkLock);
            I.sink = nullptr;
        }
        I.orphaned = true;
        I.thread.detach();
        lock.unlock();
        [[maybe_unused]] Impl* owned = impl_.release();
        return;
    }
    lock.unlock();
    if (I.thread.joinable()) I.thread.join();
    I.queue.clear();
    I.ctx.reset(); // drops the encoder's references before the pool goes
}

AVFrame* VideoEncoder::acquireSlot() {
    const auto slot = impl_->queue.acquireSlot();
    return slot ? impl_->frames[*slot].get() : nullptr;
}

void VideoEncoder::releaseSlot(AVFrame* frame) {
    const int slot = impl_->slotOf(frame);
    if (slot >= 0) impl_->queue.releaseSlot(static_cast<uint32_t>(slot));
}

void VideoEncoder::submit(AVFrame* frame, int64_t pts) {
    const int slot = impl_->slotOf(frame);
    if (slot < 0) return;
    impl_->queue.submit(static_cast<uint32_t>(slot), pts);
}

void VideoEncoder::requestKeyFrame() { impl_->queue.requestKeyFrame(); }

std::optional<StreamDescription> VideoEncoder::outputType() const {
    std::lock_guard lock(impl_->outLock);
    return impl_->outType;
}

uint64_t VideoEncoder::dropped() const { return impl_->queue.dropped(); }
size_t VideoEncoder::pendingCount() const { return impl_->queue.pendingCount(); }
const std::string& VideoEncoder::name() const { return impl_->name; }
const EncoderConfig& VideoEncoder::config() const { return impl_->cfg; }
int64_t VideoEncoder::frameHns() const { return impl_->frameHns; }

} // namespace krel
