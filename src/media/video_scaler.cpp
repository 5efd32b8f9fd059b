#include "media/video_scaler.h"

#include "core/hr_error.h"
#include "media/linux/vaapi_vpp.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
}

namespace krel {

void VideoScaler::FrameFree::operator()(AVFrame* f) const { av_frame_free(&f); }

VideoScaler::VideoScaler(const D3D& d3d, uint32_t outWidth, uint32_t outHeight, uint32_t fps)
    : d3d_(d3d), outWidth_(outWidth), outHeight_(outHeight), fps_(fps) {
    if (d3d_.backend == EncoderBackend::Vaapi && d3d_.hwDevice) vpp_ = VaapiVpp::create(d3d_.hwDevice.get());
}

VideoScaler::~VideoScaler() = default;

void VideoScaler::process(const BgraImage& src, AVFrame* dst) {
    if (!dst) throw HrError("VideoScaler::process(dst)", AVERROR(EINVAL));
    const uint32_t mode = scaleMode == kScaleOriginal ? kScaleFit : scaleMode;
    last_ = computePlacement(src.width, src.height, outWidth_, outHeight_, mode);

    if (dst->format == AV_PIX_FMT_VAAPI) {
        if (vpp_) {
            vpp_->render(src, last_, dst, outWidth_, outHeight_);
            return;
        }
        if (!staging_) {
            staging_.reset(av_frame_alloc());
            if (!staging_) throw HrError("av_frame_alloc()", AVERROR(ENOMEM));
            staging_->format = AV_PIX_FMT_NV12;
            staging_->width = static_cast<int>(outWidth_);
            staging_->height = static_cast<int>(outHeight_);
            checkAv(av_frame_get_buffer(staging_.get(), 64), "av_frame_get_buffer(staging_.get(), 64)");
        }
        const Nv12Planes planes{staging_->data[0], staging_->linesize[0], staging_->data[1], staging_->linesize[1],
                                outWidth_, outHeight_};
        cpu_.convert(src, last_, planes);
        checkAv(av_hwframe_transfer_data(dst, staging_.get(), 0), "av_hwframe_transfer_data(dst, staging_.get(), 0)");
        return;
    }
    if (dst->format != AV_PIX_FMT_NV12 || dst->width != static_cast<int>(outWidth_) ||
        dst->height != static_cast<int>(outHeight_))
        throw HrError("VideoScaler::process(dst->format)", AVERROR(EINVAL));
    const Nv12Planes planes{dst->data[0], dst->linesize[0], dst->data[1], dst->linesize[1], outWidth_, outHeight_};
    cpu_.convert(src, last_, planes);
}

} // namespace krel
