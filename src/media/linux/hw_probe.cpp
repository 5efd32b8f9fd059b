// Hardware encoder probes: VA-API entry points on AMD, Intel and other
// render nodes, FFmpeg's NVENC on NVIDIA; opening the hardware device.

#include "core/hr_error.h"
#include "media/encoder_settings.h"
#include "media/gpu_platform.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
}
#include <fcntl.h>
#include <unistd.h>
#include <va/va.h>
#include <va/va_drm.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace krel::platform {
namespace {

struct FdClose {
    void operator()(int* fd) const {
        if (*fd >= 0) ::close(*fd);
        delete fd;
    }
};
using FdPtr = std::unique_ptr<int, FdClose>;

struct VaTerminate {
    void operator()(void* dpy) const { vaTerminate(dpy); }
};
using VaDisplayPtr = std::unique_ptr<void, VaTerminate>;

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};

void quietVa(void*, const char*) {}

const char* vaapiEncoderName(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::H264: return "h264_vaapi";
    case VideoCodec::Hevc: return "hevc_vaapi";
    default: return "av1_vaapi";
    }
}

const char* nvencEncoderName(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::H264: return "h264_nvenc";
    case VideoCodec::Hevc: return "hevc_nvenc";
    default: return "av1_nvenc";
    }
}

std::vector<VAProfile> vaProfiles(VideoCodec codec) {
    switch (codec) {
    case VideoCodec::H264:
        return {VAProfileH264High, VAProfileH264Main, VAProfileH264ConstrainedBaseline};
    case VideoCodec::Hevc: return {VAProfileHEVCMain};
    default: return {VAProfileAV1Profile0};
    }
}

bool encoderOpens(const AVCodec* encoder, AVBufferRef* device, EncoderBackend backend, VideoCodec codec);

bool vaapiEncoderOpens(const AdapterNode& node, VideoCodec codec) {
    AVBufferRef* raw = nullptr;
    if (av_hwdevice_ctx_create(&raw, AV_HWDEVICE_TYPE_VAAPI, node.devicePath.c_str(), nullptr, 0) < 0) return false;
    HwDevicePtr device(raw);
    return encoderOpens(avcodec_find_encoder_by_name(vaapiEncoderName(codec)), device.get(), EncoderBackend::Vaapi,
                        codec);
}

// An entry point that is listed but does not open a configuration, or whose
// encoder then does not open, counts as unsupported.
bool probeVaapi(const AdapterNode& node, VideoCodec codec) {
    if (!avcodec_find_encoder_by_name(vaapiEncoderName(codec))) return false;
    FdPtr fd(new int(::open(node.devicePath.c_str(), O_RDWR | O_CLOEXEC)));
    if (*fd < 0) return false;
    VaDisplayPtr dpy(vaGetDisplayDRM(*fd));
    if (!dpy) return false;
    vaSetErrorCallback(dpy.get(), quietVa, nullptr);
    vaSetInfoCallback(dpy.get(), quietVa, nullptr);
    int major = 0, minor = 0;
    if (vaInitialize(dpy.get(), &major, &minor) != VA_STATUS_SUCCESS) return false;
    const int maxEntrypoints = vaMaxNumEntrypoints(dpy.get());
    std::vector<VAEntrypoint> entrypoints(static_cast<size_t>(std::max(maxEntrypoints, 1)));
    for (VAProfile profile : vaProfiles(codec)) {
        int count = 0;
        if (vaQueryConfigEntrypoints(dpy.get(), profile, entrypoints.data(), &count) != VA_STATUS_SUCCESS)
            continue;
        for (int i = 0; i < count; ++i) {
            if (entrypoints[i] != VAEntrypointEncSlice && entrypoints[i] != VAEntrypointEncSliceLP) continue;
            VAConfigAttrib attrib{VAConfigAttribRTFormat, VA_RT_FORMAT_YUV420};
            VAConfigID config = VA_INVALID_ID;
            if (vaCreateConfig(dpy.get(), profile, entrypoints[i], &attrib, 1, &config) == VA_STATUS_SUCCESS) {
                vaDestroyConfig(dpy.get(), config);
                return vaapiEncoderOpens(node, codec);
            }
        }
    }
    return false;
}

// The CUDA device number of an NVIDIA node, counted in PCI bus order.
std::string cudaDevice(const AdapterNode& node) {
    static std::once_flag order;
    // Before CUDA first counts its devices; later counts keep the order.
    std::call_once(order, [] { ::setenv("CUDA_DEVICE_ORDER", "PCI_BUS_ID", 1); });
    return std::to_string(cudaOrdinal(enumerateAdapters(), node));
}

struct BufferUnref {
    void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};

// Opens the encoder for a small picture on the device, configured as a
// recording would configure it: the final word on whether the codec works,
// whatever the driver lists.
bool encoderOpens(const AVCodec* encoder, AVBufferRef* device, EncoderBackend backend, VideoCodec codec) {
    if (!encoder) return false;
    std::unique_ptr<AVCodecContext, CodecContextFree> ctx(avcodec_alloc_context3(encoder));
    if (!ctx) return false;
    EncoderConfig probe;
    probe.width = 256;
    probe.height = 256;
    probe.codec = static_cast<int32_t>(codec);
    applyEncoderSettings(ctx.get(), encoderSettings(backend, codecOf(probe.codec), probe));
    if (backend == EncoderBackend::Vaapi) {
        std::unique_ptr<AVBufferRef, BufferUnref> frames(av_hwframe_ctx_alloc(device));
        if (!frames) return false;
        auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
        fc->format = AV_PIX_FMT_VAAPI;
        fc->sw_format = AV_PIX_FMT_NV12;
        fc->width = 256;
        fc->height = 256;
        if (av_hwframe_ctx_init(frames.get()) < 0) return false;
        ctx->pix_fmt = AV_PIX_FMT_VAAPI;
        ctx->hw_frames_ctx = av_buffer_ref(frames.get());
    } else {
        ctx->pix_fmt = AV_PIX_FMT_NV12;
        ctx->hw_device_ctx = av_buffer_ref(device);
    }
    return avcodec_open2(ctx.get(), encoder, nullptr) >= 0;
}

bool probeNvenc(const AdapterNode& node, VideoCodec codec) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(nvencEncoderName(codec));
    if (!encoder) return false;
    AVBufferRef* raw = nullptr;
    if (av_hwdevice_ctx_create(&raw, AV_HWDEVICE_TYPE_CUDA, cudaDevice(node).c_str(), nullptr, 0) < 0)
        return false;
    HwDevicePtr device(raw);
    return encoderOpens(encoder, device.get(), EncoderBackend::Nvenc, codec);
}

} // namespace

EncoderBackend backendFor(const AdapterNode& node) {
    return node.vendorId == kVendorNvidia ? EncoderBackend::Nvenc : EncoderBackend::Vaapi;
}

bool probeEncoder(const AdapterNode& node, VideoCodec codec) {
    return backendFor(node) == EncoderBackend::Nvenc ? probeNvenc(node, codec) : probeVaapi(node, codec);
}

HwDevicePtr openHwDevice(const AdapterNode& node, EncoderBackend backend) {
    AVBufferRef* raw = nullptr;
    if (backend == EncoderBackend::Nvenc) {
        checkAv(av_hwdevice_ctx_create(&raw, AV_HWDEVICE_TYPE_CUDA, cudaDevice(node).c_str(), nullptr, 0),
                "av_hwdevice_ctx_create(&ref, AV_HWDEVICE_TYPE_CUDA, ordinal, nullptr, 0)");
    } else if (backend == EncoderBackend::Vaapi) {
        checkAv(av_hwdevice_ctx_create(&raw, AV_HWDEVICE_TYPE_VAAPI, node.devicePath.c_str(), nullptr, 0),
                "av_hwdevice_ctx_create(&ref, AV_HWDEVICE_TYPE_VAAPI, node.devicePath.c_str(), nullptr, 0)");
    }
    return HwDevicePtr(raw);
}

bool softwareEncoderAvailable() { return avcodec_find_encoder_by_name("libx264") != nullptr; }

} // namespace krel::platform
