#pragma once
// Turns the newest captured picture into one input frame of the encoder:
// scales it by the scale mode, converts full-range BGRA to limited-range
// BT.709 NV12 and fills the rest of the frame with black.
//
// One scaler per pipeline, used only by the pacing thread (inside
// Capture::withLatest, so the picture cannot change while it is read).
// Memory frames (software and NVENC encoders) are written in one CPU pass;
// VA surfaces are rendered by the GPU's video processor when the driver has
// one, else converted on the CPU and uploaded.

#include "media/gpu_device.h"
#include "media/nv12_convert.h"
#include "media/placement.h"

#include <cstdint>
#include <memory>

struct AVFrame;

namespace krel {

class VaapiVpp;

class VideoScaler {
public:
    // Throws HrError when the device's video processor cannot be set up.
    VideoScaler(const D3D& d3d, uint32_t outWidth, uint32_t outHeight, uint32_t fps);
    ~VideoScaler();
    VideoScaler(const VideoScaler&) = delete;
    VideoScaler& operator=(const VideoScaler&) = delete;

    // Settings value "scale" (0 original is placed as 2 fit); the engine
    // writes it right after construction.
    uint32_t scaleMode = kScaleStretch;

    // Renders `src` into `dst` (an NV12 frame of the output size, in memory
    // or a VA surface). Throws HrError on failure.
    void process(const BgraImage& src, AVFrame* dst);

    uint32_t outWidth() const { return outWidth_; }
    uint32_t outHeight() const { return outHeight_; }
    // The placement of the last process call.
    const Placement& lastPlacement() const { return last_; }

private:
    const D3D& d3d_;
    uint32_t outWidth_;
    uint32_t outHeight_;
    [[maybe_unused]] uint32_t fps_; // for a hardware scaler's rate hints
    Nv12Converter cpu_;
    Placement last_{};
    struct FrameFree {
        void operator()(AVFrame* f) const;
    };
    std::unique_ptr<AVFrame, FrameFree> staging_; // memory NV12 for uploads to VA surfaces
    std::unique_ptr<VaapiVpp> vpp_;               // null without a VA video processor
};

} // namespace krel
