#pragma once
// Graphics adapters, their hardware encoders, and the shared device record.
//
// listGpus() and probeHardwareEncoder() keep no state and may run on any
// thread. createD3D() runs on the engine's thread when the first capture
// starts; the record it returns is move-only, owned by the engine for its
// whole life and read-only afterwards, so capture, scaler and encoder threads
// may read it without locking.

#include "config/settings.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct AVBufferRef;

namespace krel {

inline constexpr uint32_t kVendorNvidia = 0x10DE;
inline constexpr uint32_t kVendorAmd = 0x1002;
inline constexpr uint32_t kVendorIntel = 0x8086;

inline constexpr const char* kSoftwareEncoderName = "Software (x264)";

// What is known about one adapter.
struct GpuInfo {
    std::string name;       // the adapter's description (driver and PCI id on Linux)
    uint64_t luid = 0;      // identifies the adapter: the render node's device number on Linux
    uint32_t vendorId = 0;  // PCI vendor id; 0 for the software encoder
    bool h264 = false;
    bool hevc = false;
    bool av1 = false;
    std::string encoderName;
    std::string devicePath; // render node, e.g. "/dev/dri/renderD128"; empty for software

    bool operator==(const GpuInfo&) const = default;
};

// Which encoder family serves the record.
enum class EncoderBackend { Software, Vaapi, Nvenc };

struct HwDeviceUnref {
    void operator()(AVBufferRef* ref) const;
};
using HwDevicePtr = std::unique_ptr<AVBufferRef, HwDeviceUnref>;

// The shared device record ("D3D" after the Direct3D device it holds on
// Windows). On Linux it holds the opened hardware device context (a VA
// display or a CUDA device) of the chosen adapter, or nothing for the software
// encoder.
struct D3D {
    GpuInfo gpu;
    EncoderBackend backend = EncoderBackend::Software;
    HwDevicePtr hwDevice; // AVHWDeviceContext; null for the software encoder

    D3D() = default;
    D3D(D3D&&) noexcept = default;
    D3D& operator=(D3D&&) noexcept = default;
    D3D(const D3D&) = delete;
    D3D& operator=(const D3D&) = delete;
};

// Vendor table: encoder brand name and sort rank (0 NVIDIA, 1 AMD, 2 Intel,
// 3 others).
std::string encoderNameForVendor(uint32_t vendorId);
int vendorRank(uint32_t vendorId);
// Stable sort by vendor rank; adapters of one rank keep their order.
void sortGpus(std::vector<GpuInfo>& gpus);
// The adapter for a codec index (0 H.264, 1 HEVC, above 1 AV1): the first
// with that codec, else the first with H.264, else none.
std::optional<size_t> chooseGpu(const std::vector<GpuInfo>& gpus, uint32_t codec);
// "GPU: {} ({}), H.264={} HEVC={} AV1={}"
std::string gpuLogLine(const GpuInfo& gpu);

// All hardware adapters with their encoder flags, sorted; empty when there
// are none. Never throws.
std::vector<GpuInfo> listGpus();
// True when the adapter `luid` has a usable hardware encoder for `codec`.
bool probeHardwareEncoder(uint64_t luid, VideoCodec codec);
// The software encoder as an adapter record (H.264 only), or none when
// libavcodec has no libx264.
std::optional<GpuInfo> softwareEncoderInfo();

// Opens the device record for a codec index. Falls back to the software
// encoder when no adapter has a hardware H.264 encoder. Throws
// std::runtime_error "Keine Grafikkarte mit Hardware-Encoder gefunden" when
// not even that exists, "Grafikkarte nicht mehr verfügbar" when the chosen
// adapter vanished, HrError when opening its device fails.
D3D createD3D(uint32_t codec);

} // namespace krel
