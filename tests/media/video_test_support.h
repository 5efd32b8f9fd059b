#pragma once
// Helpers of the video tests: solid and patterned BGRA pictures, decoding
// encoded packets back with libavcodec, test windows on the X display, the
// log file, and waiting for a condition.

#include "core/packet.h"
#include "media/nv12_convert.h"
#include "media/video_scaler.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct AVFrame;

namespace krel::test {

// A BGRA picture owning its pixels.
struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;
    BgraImage image() const { return {pixels.data(), static_cast<int32_t>(4 * width), width, height}; }
    void fill(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, uint8_t r, uint8_t g, uint8_t b);
};
Picture solidPicture(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b);

struct FrameFree {
    void operator()(AVFrame* f) const;
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

// Decodes H.264 packets (in order) with libavcodec's decoder; pictures come
// out as planar 4:2:0.
struct Decoded {
    std::vector<FramePtr> frames;
    int errors = 0;
};
Decoded decodeH264(const std::vector<PacketPtr>& packets);

// Encodes `frames` frames of 640 x 360 at 30 fps on the device record, each
// rendered into its encoder slot by `render` through a "fit" scaler, one at a
// time; returns the packets. Empty when a slot or a render failed.
std::vector<PacketPtr> encodeFitted(const D3D& d3d, int frames, int32_t bitrateKbps,
                                    const std::function<bool(VideoScaler&, AVFrame*)>& render);

uint8_t lumaAt(const AVFrame* f, int x, int y);
uint8_t cbAt(const AVFrame* f, int x, int y); // x, y in luma coordinates
uint8_t crAt(const AVFrame* f, int x, int y);

// True when the payload holds an H.264 NAL unit of that type.
bool hasNalType(const std::vector<uint8_t>& annexB, int type);

// Polls `condition` every 5 ms for at most `limit`.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(5));

// The log file text written so far.
std::string logText();

// An X window on $DISPLAY over a connection of its own, filled with one
// colour. No window manager runs: the window appears where it is placed.
class TestWindow {
public:
    TestWindow(int x, int y, uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b, const std::string& title = "");
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    uint64_t id() const { return window_; }
    void setColour(uint8_t r, uint8_t g, uint8_t b);
    void resize(uint32_t w, uint32_t h);
    void unmap();
    void map();
    void raise();
    void destroy();
    void warpPointer(int x, int y);

private:
    void sync();
    struct Conn;
    std::unique_ptr<Conn> conn_;
    unsigned long window_ = 0;
};

} // namespace krel::test
