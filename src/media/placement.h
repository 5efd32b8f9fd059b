#pragma once
// Where a source picture lands in an output frame for each scale mode.
//
// A pure function shared by every scaler backend (CPU, VA-API, and later the
// Direct3D video processor): it yields the source rectangle that is read and
// the destination rectangle it is drawn into; the rest of the frame is black.

#include <cstdint>
#include <vector>

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

// Which output surfaces need their bars painted before the next picture.
// A backend that draws only the destination rectangle (the VA-API video
// processor, whose drivers may ignore the background colour) leaves whatever
// a surface held outside it; surfaces are reused round a pool, so each one is
// cleared once after the destination or the output size changed, as long as
// the destination leaves bars. Pure bookkeeping; one thread.
class BarTracker {
public:
    // True when `surface` must be cleared before drawing into `destination`
    // of an output of outWidth x outHeight; the surface then counts as
    // cleared for this layout.
    bool needsClear(uint32_t surface, const Rect& destination, uint32_t outWidth, uint32_t outHeight);
    // Forgets a surface whose clearing failed.
    void forget(uint32_t surface);

private:
    Rect destination_{};
    uint32_t outWidth_ = 0;
    uint32_t outHeight_ = 0;
    uint64_t layout_ = 0; // counts layout changes; 0: none seen yet
    struct Cleared {
        uint32_t surface;
        uint64_t layout;
    };
    std::vector<Cleared> cleared_;
};

} // namespace krel
