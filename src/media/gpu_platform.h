#pragma once
// Platform half of adapter discovery (linux/drm_adapters.cpp,
// linux/hw_probe.cpp). Stateless; any thread. Nothing here throws except
// openHwDevice.

#include "config/settings.h"
#include "media/gpu_device.h"

#include <filesystem>
#include <string>
#include <vector>

namespace krel::platform {

// One render node with a PCI device behind it.
struct AdapterNode {
    std::string devicePath; // /dev/dri/renderD*
    std::string name;       // driver name and PCI ids
    uint32_t vendorId = 0;
    uint64_t luid = 0;      // device number of the node
    std::string pciBusId;   // "0000:01:00.0" (lower case); "" when unknown
};

// Render nodes in name order, read from `sysClassDrm` (normally
// /sys/class/drm) with device files under `devDri`. Nodes without a PCI
// vendor (virtual software devices such as vgem) are skipped.
std::vector<AdapterNode> enumerateAdapters(const std::filesystem::path& sysClassDrm = "/sys/class/drm",
                                           const std::filesystem::path& devDri = "/dev/dri");

// The CUDA device number of an NVIDIA node, with CUDA counting its devices in
// PCI bus order (CUDA_DEVICE_ORDER=PCI_BUS_ID, which openHwDevice sets): the
// node's place among the NVIDIA nodes of `nodes` sorted by bus id. Without
// that order CUDA counts the fastest device first, which need not be the
// node the listing chose. Nodes without a bus id count after the others, in
// list order.
int cudaOrdinal(const std::vector<AdapterNode>& nodes, const AdapterNode& node);

// Whether the adapter can encode `codec` in hardware: VA-API encode entry
// points that also open a configuration, or FFmpeg's NVENC on NVIDIA.
bool probeEncoder(const AdapterNode& node, VideoCodec codec);

// The encoder family a node is driven with.
EncoderBackend backendFor(const AdapterNode& node);

// Opens the node's hardware device context (VA display or CUDA device).
// Throws HrError naming the failing call.
HwDevicePtr openHwDevice(const AdapterNode& node, EncoderBackend backend);

// True when libavcodec carries the libx264 encoder.
bool softwareEncoderAvailable();

} // namespace krel::platform
