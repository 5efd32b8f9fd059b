#pragma once
// Where a source picture lands in an output frame for each scale mode.
//
// A pure function shared by every scaler backend (CPU, VA-API, and later the
// Direct3D video processor): it yields the source rectangle that is read and
// the destination rectangle it is drawn into; the rest of the frame is black.

#include <cstdint>

namespace krel {

// Half-open rectangle: left, top inclusive; right, bottom exclusive.
struct Rect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;

    int32_t width() const { return right - left; }
    int32_t height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};

struct Placement {
    Rect source;      // part of the source that is shown
    Rect destination; // where it is drawn in the output frame
    bool operator==(const Placement&) const = default;
};

// Scale modes by their settings value: 0 original (placed as fit), 1 stretch,
// 2 fit, 3 crop, 4 autoStretchNative (placed as stretch).
inline constexpr uint32_t kScaleOriginal = 0;
inline constexpr uint32_t kScaleStretch = 1;
inline constexpr uint32_t kScaleFit = 2;
inline constexpr uint32_t kScaleCrop = 3;
inline constexpr uint32_t kScaleAutoStretchNative = 4;

// Fit keeps the aspect ratio and centres the picture with its size rounded
// down to even; crop shows the centre part with the frame's aspect ratio;
// every other mode maps the whole source onto the whole frame. A zero size on
// either side skips the arithmetic: source and destination stay whole.
Placement computePlacement(uint32_t srcWidth, uint32_t srcHeight, uint32_t outWidth,
                           uint32_t outHeight, uint32_t scaleMode);

} // namespace krel
