#include "media/gpu_device.h"

#include "config/log.h"
#include "media/gpu_platform.h"

extern "C" {
#include <libavutil/buffer.h>
}

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

namespace krel {

void HwDeviceUnref::operator()(AVBufferRef* ref) const { av_buffer_unref(&ref); }

std::string encoderNameForVendor(uint32_t vendorId) {
    switch (vendorId) {
    case kVendorNvidia: return "NVIDIA NVENC";
    case kVendorAmd: return "AMD AMF";
    case kVendorIntel: return "Intel Quick Sync";
    default: return "Hardware-Encoder";
    }
}

int vendorRank(uint32_t vendorId) {
    switch (vendorId) {
    case kVendorNvidia: return 0;
    case kVendorAmd: return 1;
    case kVendorIntel: return 2;
    default: return 3;
    }
}

void sortGpus(std::vector<GpuInfo>& gpus) {
    std::stable_sort(gpus.begin(), gpus.end(), [](const GpuInfo& a, const GpuInfo& b) {
        return vendorRank(a.vendorId) < vendorRank(b.vendorId);
    });
}

std::optional<size_t> chooseGpu(const std::vector<GpuInfo>& gpus, uint32_t codec) {
    auto wanted = [codec](const GpuInfo& g) { return codec == 0 ? g.h264 : codec == 1 ? g.hevc : g.av1; };
    for (size_t i = 0; i < gpus.size(); ++i)
        if (wanted(gpus[i])) return i;
    for (size_t i = 0; i < gpus.size(); ++i)
        if (gpus[i].h264) return i;
    return std::nullopt;
}

std::string gpuLogLine(const GpuInfo& gpu) {
    return fmt::format("GPU: {} ({}), H.264={} HEVC={} AV1={}", gpu.name, gpu.encoderName, gpu.h264,
                       gpu.hevc, gpu.av1);
}

std::vector<GpuInfo> listGpus() {
    std::vector<GpuInfo> gpus;
    try {
        for (const auto& node : platform::enumerateAdapters()) {
            GpuInfo g;
            g.name = node.name;
            g.luid = node.luid;
            g.vendorId = node.vendorId;
            g.devicePath = node.devicePath;
            g.h264 = platform::probeEncoder(node, VideoCodec::H264);
            g.hevc = platform::probeEncoder(node, VideoCodec::Hevc);
            g.av1 = platform::probeEncoder(node, VideoCodec::Av1);
            g.encoderName = encoderNameForVendor(node.vendorId);
            gpus.push_back(std::move(g));
        }
    } catch (const std::exception& e) {
        logLine(fmt::format("GPU-Liste: {}", e.what()));
    }
    sortGpus(gpus);
    return gpus;
}

bool probeHardwareEncoder(uint64_t luid, VideoCodec codec) {
    try {
        for (const auto& node : platform::enumerateAdapters())
            if (node.luid == luid) return platform::probeEncoder(node, codec);
    } catch (const std::exception&) {
    }
    return false;
}

std::optional<GpuInfo> softwareEncoderInfo() {
    if (!platform::softwareEncoderAvailable()) return std::nullopt;
    GpuInfo g;
    g.name = "Software";
    g.h264 = true;
    g.encoderName = kSoftwareEncoderName;
    return g;
}

D3D createD3D(uint32_t codec) {
    const std::vector<GpuInfo> gpus = listGpus();
    D3D r;
    const std::optional<size_t> chosen = chooseGpu(gpus, codec);
    if (!chosen) {
        std::optional<GpuInfo> sw = softwareEncoderInfo();
        if (!sw) throw std::runtime_error("Keine Grafikkarte mit Hardware-Encoder gefunden");
        r.gpu = std::move(*sw);
        r.backend = EncoderBackend::Software;
        logLine("Kein Hardware-Encoder gefunden – Software-Encoder (x264) wird verwendet");
        logLine(gpuLogLine(r.gpu));
        return r;
    }
    r.gpu = gpus[*chosen];

    // Enumerate afresh: the adapter may have gone between listing and opening.
    std::optional<platform::AdapterNode> node;
    for (auto& n : platform::enumerateAdapters())
        if (n.luid == r.gpu.luid) node = std::move(n);
    if (!node) throw std::runtime_error("Grafikkarte nicht mehr verfügbar");

    r.backend = platform::backendFor(*node);
    r.hwDevice = platform::openHwDevice(*node, r.backend);
    logLine(gpuLogLine(r.gpu));
    return r;
}

} // namespace krel
