#include "media/placement.h"

namespace krel {

Placement computePlacement(uint32_t srcWidth, uint32_t srcHeight, uint32_t outWidth,
                           uint32_t outHeight, uint32_t scaleMode) {
    const auto sw = static_cast<int32_t>(srcWidth);
    const auto sh = static_cast<int32_t>(srcHeight);
    const auto ow = static_cast<int32_t>(outWidth);
    const auto oh = static_cast<int32_t>(outHeight);
    Placement p{{0, 0, sw, sh}, {0, 0, ow, oh}};
    if (srcWidth == 0 || srcHeight == 0 || outWidth == 0 || outHeight == 0) return p;

    const double g = static_cast<double>(outWidth) / outHeight;
    const double r = static_cast<double>(srcWidth) / srcHeight;
    switch (scaleMode) {
    case kScaleOriginal:
    case kScaleFit:
        if (g < r) {
            const int32_t h = static_cast<int32_t>(ow / r + 0.5) & ~1;
            const int32_t m = (oh - h) / 2;
            p.destination = {0, m, ow, m + h};
        } else {
            const int32_t w = static_cast<int32_t>(oh * r + 0.5) & ~1;
            const int32_t m = (ow - w) / 2;
            p.destination = {m, 0, m + w, oh};
        }
        break;
    case kScaleCrop:
        if (g < r) {
            const int32_t v = static_cast<int32_t>(sh * g + 0.5);
            const int32_t o = (sw - v) / 2;
            p.source = {o, 0, o + v, sh};
        } else {
            const int32_t v = static_cast<int32_t>(sw / g + 0.5);
            const int32_t o = (sh - v) / 2;
            p.source = {0, o, sw, o + v};
        }
        break;
    default:
        break;
    }
    return p;
}

bool BarTracker::needsClear(uint32_t surface, const Rect& destination, uint32_t outWidth, uint32_t outHeight) {
    if (layout_ == 0 || destination != destination_ || outWidth != outWidth_ || outHeight != outHeight_) {
        ++layout_;
        destination_ = destination;
        outWidth_ = outWidth;
        outHeight_ = outHeight;
    }
    const bool bars = destination.left > 0 || destination.top > 0 || destination.right < static_cast<int32_t>(outWidth) ||
                      destination.bottom < static_cast<int32_t>(outHeight);
    if (!bars) return false;
    for (auto& c : cleared_) {
        if (c.surface != surface) continue;
        if (c.layout == layout_) return false;
        c.layout = layout_;
        return true;
    }
    cleared_.push_back({surface, layout_});
    return true;
}

void BarTracker::forget(uint32_t surface) {
    std::erase_if(cleared_, [surface](const Cleared& c) { return c.surface == surface; });
}

} // namespace krel
