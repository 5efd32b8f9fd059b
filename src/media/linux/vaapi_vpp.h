#pragma once
// The VA-API video processor: scales and converts a BGRA picture into an
// NV12 VA surface of the encoder's pool in one GPU pass, with the BT.709
// limited-range output and black outside the destination rectangle.
// Used by the pacing thread only (through VideoScaler).

#include "media/nv12_convert.h"
#include "media/placement.h"

#include <cstdint>
#include <memory>

struct AVBufferRef;
struct AVFrame;

namespace krel {

class VaapiVpp {
public:
    // None when the device offers no video-processing entry point.
    static std::unique_ptr<VaapiVpp> create(AVBufferRef* hwDevice);
    ~VaapiVpp();
    VaapiVpp(const VaapiVpp&) = delete;
    VaapiVpp& operator=(const VaapiVpp&) = delete;

    // Throws HrError naming the failing VA call.
    void render(const BgraImage& src, const Placement& placement, AVFrame* dst, uint32_t outWidth,
                uint32_t outHeight);

    struct State;

private:
    explicit VaapiVpp(std::unique_ptr<State> state);
    std::unique_ptr<State> s_;
};

} // namespace krel
