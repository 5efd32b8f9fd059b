#include "media/linux/vaapi_vpp.h"

#include "core/hr_error.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_vaapi.h>
}
#include <va/va.h>
#include <va/va_vpp.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace krel {
namespace {

void checkVa(VAStatus status, const char* call) {
    if (status != VA_STATUS_SUCCESS) throw HrError(call, static_cast<int64_t>(status));
}

// A VA image, destroyed with its display.
struct ImageGuard {
    VADisplay dpy;
    VAImage image{};
    explicit ImageGuard(VADisplay d) : dpy(d) { image.image_id = VA_INVALID_ID; }
    ~ImageGuard() {
        if (image.image_id != VA_INVALID_ID) vaDestroyImage(dpy, image.image_id);
    }
    ImageGuard(const ImageGuard&) = delete;
    ImageGuard& operator=(const ImageGuard&) = delete;
};

// Black in BT.709 limited range: Y 16, Cb and Cr 128.
void fillBlackNv12(uint8_t* base, const VAImage& image, uint32_t w, uint32_t h) {
    for (uint32_t y = 0; y < h; ++y) std::memset(base + image.offsets[0] + static_cast<size_t>(y) * image.pitches[0], 16, w);
    for (uint32_t y = 0; y < (h + 1) / 2; ++y)
        std::memset(base + image.offsets[1] + static_cast<size_t>(y) * image.pitches[1], 128, 2 * ((w + 1) / 2));
}

} // namespace

struct VaapiVpp::State {
    VADisplay dpy = nullptr;
    VAConfigID config = VA_INVALID_ID;
    VAContextID context = VA_INVALID_ID;
    VASurfaceID source = VA_INVALID_SURFACE;
    VAImage image{};
    bool derived = false; // image maps the surface itself; else vaPutImage
    uint32_t srcWidth = 0;
    uint32_t srcHeight = 0;
    BarTracker bars;

    void releaseSource() {
        if (image.image_id != VA_INVALID_ID) vaDestroyImage(dpy, image.image_id);
        image = VAImage{};
        image.image_id = VA_INVALID_ID;
        if (source != VA_INVALID_SURFACE) vaDestroySurfaces(dpy, &source, 1);
        source = VA_INVALID_SURFACE;
        srcWidth = srcHeight = 0;
    }

    ~State() {
        releaseSource();
        if (context != VA_INVALID_ID) vaDestroyContext(dpy, context);
        if (config != VA_INVALID_ID) vaDestroyConfig(dpy, config);
    }

    // A BGRX surface of the source size and an image to write it through.
    void prepareSource(uint32_t w, uint32_t h) {
        if (source != VA_INVALID_SURFACE && w == srcWidth && h == srcHeight) return;
        releaseSource();
        VASurfaceAttrib attrib{};
        attrib.type = VASurfaceAttribPixelFormat;
        attrib.flags = VA_SURFACE_ATTRIB_SETTABLE;
        attrib.value.type = VAGenericValueTypeInteger;
        attrib.value.value.i = VA_FOURCC_BGRX;
        checkVa(vaCreateSurfaces(dpy, VA_RT_FORMAT_RGB32, w, h, &source, 1, &attrib, 1),
                "vaCreateSurfaces(dpy, VA_RT_FORMAT_RGB32, w, h, &source, 1, &attrib, 1)");
        srcWidth = w;
        srcHeight = h;
        derived = vaDeriveImage(dpy, source, &image) == VA_STATUS_SUCCESS;
        if (!derived) {
            VAImageFormat format{};
            format.fourcc = VA_FOURCC_BGRX;
            format.byte_order = VA_LSB_FIRST;
            format.bits_per_pixel = 32;
            format.depth = 24;
            format.red_mask = 0x00FF0000;
            format.green_mask = 0x0000FF00;
            format.blue_mask = 0x000000FF;
            checkVa(vaCreateImage(dpy, &format, static_cast<int>(w), static_cast<int>(h), &image),
                    "vaCreateImage(dpy, &format, w, h, &image)");
        }
    }

    // Paints a whole NV12 surface black: through the surface's own image
    // where the driver allows it, else through a copy put onto it.
    void clearSurface(VASurfaceID target, uint32_t w, uint32_t h) {
        ImageGuard img(dpy);
        const bool direct = vaDeriveImage(dpy, target, &img.image) == VA_STATUS_SUCCESS &&
                            img.image.format.fourcc == VA_FOURCC_NV12;
        if (!direct) {
            if (img.image.image_id != VA_INVALID_ID) vaDestroyImage(dpy, img.image.image_id);
            img.image = VAImage{};
            img.image.image_id = VA_INVALID_ID;
            VAImageFormat format{};
            format.fourcc = VA_FOURCC_NV12;
            format.byte_order = VA_LSB_FIRST;
            format.bits_per_pixel = 12;
            checkVa(vaCreateImage(dpy, &format, static_cast<int>(w), static_cast<int>(h), &img.image),
                    "vaCreateImage(dpy, &nv12, w, h, &image)");
        }
        void* mapped = nullptr;
        checkVa(vaMapBuffer(dpy, img.image.buf, &mapped), "vaMapBuffer(dpy, image.buf, &mapped)");
        fillBlackNv12(static_cast<uint8_t*>(mapped), img.image, w, h);
        checkVa(vaUnmapBuffer(dpy, img.image.buf), "vaUnmapBuffer(dpy, image.buf)");
        if (!direct)
            checkVa(vaPutImage(dpy, target, img.image.image_id, 0, 0, w, h, 0, 0, w, h),
                    "vaPutImage(dpy, target, image.image_id, 0, 0, w, h, 0, 0, w, h)");
    }

    void upload(const BgraImage& src) {
        void* mapped = nullptr;
        checkVa(vaMapBuffer(dpy, image.buf, &mapped), "vaMapBuffer(dpy, image.buf, &mapped)");
        auto* base = static_cast<uint8_t*>(mapped) + image.offsets[0];
        for (uint32_t y = 0; y < src.height; ++y)
            std::memcpy(base + static_cast<size_t>(y) * image.pitches[0],
                        src.data + static_cast<std::ptrdiff_t>(y) * src.stride, 4 * static_cast<size_t>(src.width));
        checkVa(vaUnmapBuffer(dpy, image.buf), "vaUnmapBuffer(dpy, image.buf)");
        if (!derived)
            checkVa(vaPutImage(dpy, source, image.image_id, 0, 0, src.width, src.height, 0, 0, src.width, src.height),
                    "vaPutImage(dpy, source, image.image_id, 0, 0, w, h, 0, 0, w, h)");
    }
};

VaapiVpp::VaapiVpp(std::unique_ptr<State> state) : s_(std::move(state)) {}
VaapiVpp::~VaapiVpp() = default;

std::unique_ptr<VaapiVpp> VaapiVpp::create(AVBufferRef* hwDevice) {
    if (!hwDevice) return nullptr;
    auto* device = reinterpret_cast<AVHWDeviceContext*>(hwDevice->data);
    if (device->type != AV_HWDEVICE_TYPE_VAAPI) return nullptr;
    auto state = std::make_unique<State>();
    state->image.image_id = VA_INVALID_ID;
    state->dpy = static_cast<AVVAAPIDeviceContext*>(device->hwctx)->display;

    int count = 0;
    std::vector<VAEntrypoint> entrypoints(static_cast<size_t>(std::max(vaMaxNumEntrypoints(state->dpy), 1)));
    if (vaQueryConfigEntrypoints(state->dpy, VAProfileNone, entrypoints.data(), &count) != VA_STATUS_SUCCESS)
        return nullptr;
    bool hasVpp = false;
    for (int i = 0; i < count; ++i) hasVpp = hasVpp || entrypoints[i] == VAEntrypointVideoProc;
    if (!hasVpp) return nullptr;
    checkVa(vaCreateConfig(state->dpy, VAProfileNone, VAEntrypointVideoProc, nullptr, 0, &state->config),
            "vaCreateConfig(dpy, VAProfileNone, VAEntrypointVideoProc, nullptr, 0, &config)");
    return std::unique_ptr<VaapiVpp>(new VaapiVpp(std::move(state)));
}

void VaapiVpp::render(const BgraImage& src, const Placement& p, AVFrame* dst, uint32_t outWidth, uint32_t outHeight) {
    State& s = *s_;
    if (s.context == VA_INVALID_ID)
        checkVa(vaCreateContext(s.dpy, s.config, static_cast<int>(outWidth), static_cast<int>(outHeight),
                                VA_PROGRESSIVE, nullptr, 0, &s.context),
                "vaCreateContext(dpy, config, outWidth, outHeight, VA_PROGRESSIVE, nullptr, 0, &context)");
    const auto target = static_cast<VASurfaceID>(reinterpret_cast<uintptr_t>(dst->data[3]));
    const bool picture = src.data && src.width > 0 && src.height > 0 && p.source.width() > 0 &&
                         p.source.height() > 0 && p.destination.width() > 0 && p.destination.height() > 0;
    if (!picture) {
        // Nothing to place: the whole frame is black.
        s.clearSurface(target, outWidth, outHeight);
        return;
    }
    s.prepareSource(src.width, src.height);
    s.upload(src);
    // The processor draws only the destination rectangle, and drivers may
    // ignore the background colour: the bars are painted here, once per
    // surface after the layout changed.
    if (s.bars.needsClear(target, p.destination, outWidth, outHeight)) {
        try {
            s.clearSurface(target, outWidth, outHeight);
        } catch (...) {
            s.bars.forget(target);
            throw;
        }
    }

    VARectangle srcRect{static_cast<int16_t>(p.source.left), static_cast<int16_t>(p.source.top),
                        static_cast<uint16_t>(p.source.width()), static_cast<uint16_t>(p.source.height())};
    VARectangle dstRect{static_cast<int16_t>(p.destination.left), static_cast<int16_t>(p.destination.top),
                        static_cast<uint16_t>(p.destination.width()), static_cast<uint16_t>(p.destination.height())};
    VAProcPipelineParameterBuffer params{};
    params.surface = s.source;
    params.surface_region = &srcRect;
    params.output_region = &dstRect;
    params.output_background_color = 0xFF000000; // opaque black
    params.surface_color_standard = VAProcColorStandardSRGB;
    params.output_color_standard = VAProcColorStandardBT709;
    params.input_color_properties.color_range = VA_SOURCE_RANGE_FULL;
    params.output_color_properties.color_range = VA_SOURCE_RANGE_REDUCED;
    params.filter_flags = VA_FILTER_SCALING_FAST;

    VABufferID buffer = VA_INVALID_ID;
    checkVa(vaCreateBuffer(s.dpy, s.context, VAProcPipelineParameterBufferType, sizeof(params), 1, &params, &buffer),
            "vaCreateBuffer(dpy, context, VAProcPipelineParameterBufferType, sizeof(params), 1, &params, &buffer)");
    struct BufferGuard {
        VADisplay d;
        VABufferID b;
        ~BufferGuard() { vaDestroyBuffer(d, b); }
    } guard{s.dpy, buffer};
    checkVa(vaBeginPicture(s.dpy, s.context, target), "vaBeginPicture(dpy, context, target)");
    // A begun picture is always ended, also when rendering failed: the
    // context would otherwise refuse every later picture.
    const VAStatus rendered = vaRenderPicture(s.dpy, s.context, &buffer, 1);
    const VAStatus ended = vaEndPicture(s.dpy, s.context);
    checkVa(rendered, "vaRenderPicture(dpy, context, &buffer, 1)");
    checkVa(ended, "vaEndPicture(dpy, context)");
}

} // namespace krel
