#pragma once
// CPU conversion of a BGRA picture into an NV12 frame in BT.709 limited
// range, placed by a Placement: the source rectangle is scaled (bilinear)
// onto the destination rectangle and everything else becomes black
// (Y 16, Cb/Cr 128). One pass over the output; the scratch rows are sized
// once per source and output size and reused, so a frame allocates nothing.
// Not thread-safe: one converter per caller.

#include "media/placement.h"

#include <cstdint>
#include <vector>

namespace krel {

// A 32-bit BGRA picture in memory (bytes B, G, R, X per pixel).
struct BgraImage {
    const uint8_t* data = nullptr;
    int32_t stride = 0; // bytes per row
    uint32_t width = 0;
    uint32_t height = 0;
    int64_t capturedHns = 0; // when the picture was grabbed (nowHns); 0 when unknown
};

struct Nv12Planes {
    uint8_t* y = nullptr;
    int32_t yStride = 0;
    uint8_t* uv = nullptr;
    int32_t uvStride = 0;
    uint32_t width = 0; // even
    uint32_t height = 0; // even
};

// The limited-range BT.709 values of one full-range RGB colour.
struct Yuv {
    uint8_t y, cb, cr;
};
Yuv rgbToYuv709(uint8_t r, uint8_t g, uint8_t b);

class Nv12Converter {
public:
    void convert(const BgraImage& src, const Placement& placement, const Nv12Planes& dst);

private:
    void prepareScaling(const Placement& p);
    const uint8_t* scaledRow(const BgraImage& src, const Placement& p, int32_t outRow, int which);

    Placement prepared_{};
    bool havePrepared_ = false;
    bool scaled_ = false;
    std::vector<int32_t> xIndex_;   // left source column (byte offset) per output column
    std::vector<int32_t> xRight_;   // right neighbour (byte offset), clamped to the row
    std::vector<int32_t> xFrac_;    // weight of the right neighbour, 0..256
    std::vector<uint8_t> vRow_;     // vertically blended source row
    std::vector<uint8_t> rows_[2];  // scaled output rows
};

} // namespace krel
