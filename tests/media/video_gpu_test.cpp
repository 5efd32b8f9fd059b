// Adapter discovery: vendor table, order, adapter choice, the log line, the
// sysfs enumeration (on a sysfs tree built here, since this machine has no
// GPU), the probes of the real machine and the software fallback.

#include "media/gpu_device.h"
#include "media/gpu_platform.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace krel {
namespace {

// The adapter log lines go into a data folder of this test process, set
// before the first test logs.
const test::TempDir kDataDir;
[[maybe_unused]] const bool kDataDirSet = ::setenv("KREL_PLAY_DATA_DIR", kDataDir.path().c_str(), 1) == 0;

GpuInfo gpu(uint32_t vendor, const std::string& name, bool h264, bool hevc = false, bool av1 = false) {
    GpuInfo g;
    g.vendorId = vendor;
    g.name = name;
    g.h264 = h264;
    g.hevc = hevc;
    g.av1 = av1;
    g.encoderName = encoderNameForVendor(vendor);
    return g;
}

std::vector<std::string> names(const std::vector<GpuInfo>& gpus) {
    std::vector<std::string> out;
    for (const auto& g : gpus) out.push_back(g.name);
    return out;
}

TEST(GpuDevice, VendorTable) {
    EXPECT_EQ(encoderNameForVendor(0x10DE), "NVIDIA NVENC");
    EXPECT_EQ(encoderNameForVendor(0x1002), "AMD AMF");
    EXPECT_EQ(encoderNameForVendor(0x8086), "Intel Quick Sync");
    EXPECT_EQ(encoderNameForVendor(0x1AF4), "Hardware-Encoder");
    EXPECT_LT(vendorRank(0x10DE), vendorRank(0x1002));
    EXPECT_LT(vendorRank(0x1002), vendorRank(0x8086));
    EXPECT_LT(vendorRank(0x8086), vendorRank(0x1234));
}

TEST(GpuDevice, SortIsByVendorAndStable) {
    std::vector<GpuInfo> gpus{gpu(0x1234, "other", false), gpu(0x8086, "intel-a", true), gpu(0x10DE, "nvidia", true),
                              gpu(0x8086, "intel-b", true), gpu(0x1002, "amd", false)};
    sortGpus(gpus);
    EXPECT_EQ(names(gpus), (std::vector<std::string>{"nvidia", "amd", "intel-a", "intel-b", "other"}));
}

TEST(GpuDevice, ChoiceFollowsCodecThenH264) {
    std::vector<GpuInfo> gpus{gpu(0x10DE, "first", true, true, false), gpu(0x8086, "second", true, false, true)};
    EXPECT_EQ(chooseGpu(gpus, 0), 0u);
    EXPECT_EQ(chooseGpu(gpus, 1), 0u);
    EXPECT_EQ(chooseGpu(gpus, 2), 1u); // AV1 only on the second
    EXPECT_EQ(chooseGpu(gpus, 9), 1u); // above 1 means AV1
    gpus[1].av1 = false;
    EXPECT_EQ(chooseGpu(gpus, 2), 0u); // no AV1 anywhere: first with H.264
    std::vector<GpuInfo> none{gpu(0x1002, "no-encoder", false)};
    EXPECT_FALSE(chooseGpu(none, 0).has_value());
    EXPECT_FALSE(chooseGpu({}, 0).has_value());
    // HEVC only: chosen for HEVC, but nothing for H.264.
    std::vector<GpuInfo> hevcOnly{gpu(0x1002, "hevc-only", false, true)};
    EXPECT_EQ(chooseGpu(hevcOnly, 1), 0u);
    EXPECT_FALSE(chooseGpu(hevcOnly, 0).has_value());
}

TEST(GpuDevice, LogLineSpellsFlagsAsWords) {
    EXPECT_EQ(gpuLogLine(gpu(0x8086, "i915 [8086:46a6]", true, false, true)),
              "GPU: i915 [8086:46a6] (Intel Quick Sync), H.264=true HEVC=false AV1=true");
}

void writeFile(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

TEST(GpuDevice, EnumeratesRenderNodesFromSysfs) {
    test::TempDir dir;
    const auto drm = dir / "class/drm";
    // Two PCI adapters (listed out of order), a card node that is no render
    // node, and a virtual node without PCI vendor.
    writeFile(drm / "renderD129/device/vendor", "0x10de");
    writeFile(drm / "renderD129/device/device", "0x2484");
    writeFile(drm / "renderD129/dev", "226:129");
    writeFile(drm / "renderD128/device/vendor", "0x8086");
    writeFile(drm / "renderD128/device/device", "0x46a6");
    writeFile(drm / "renderD128/dev", "226:128");
    std::filesystem::create_directories(dir / "drivers/i915");
    std::filesystem::create_symlink(dir / "drivers/i915", drm / "renderD128/device/driver");
    writeFile(drm / "card0/device/vendor", "0x8086");
    writeFile(drm / "renderD130/dev", "226:130");

    const auto nodes = platform::enumerateAdapters(drm, "/dev/dri");
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0].devicePath, "/dev/dri/renderD128");
    EXPECT_EQ(nodes[0].vendorId, 0x8086u);
    EXPECT_EQ(nodes[0].name, "i915 [8086:46a6]");
    EXPECT_EQ(nodes[1].devicePath, "/dev/dri/renderD129");
    EXPECT_EQ(nodes[1].vendorId, 0x10DEu);
    EXPECT_NE(nodes[0].luid, nodes[1].luid);
    EXPECT_EQ(platform::backendFor(nodes[1]), EncoderBackend::Nvenc);
    EXPECT_EQ(platform::backendFor(nodes[0]), EncoderBackend::Vaapi);
    // Nodes whose device file does not exist never probe as capable.
    EXPECT_FALSE(platform::probeEncoder({"/nonexistent/renderD128", "x", 0x8086, 1, ""}, VideoCodec::H264));
}

TEST(GpuDevice, RealMachineListingAndFallback) {
    const std::vector<GpuInfo> gpus = listGpus();
    for (const auto& g : gpus) {
        EXPECT_EQ(g.encoderName, encoderNameForVendor(g.vendorId));
        EXPECT_EQ(g.h264, probeHardwareEncoder(g.luid, VideoCodec::H264));
    }
    EXPECT_FALSE(probeHardwareEncoder(0xFFFF'FFFF'FFFFull, VideoCodec::H264));

    const bool hardwareH264 = chooseGpu(gpus, 0).has_value();
    if (hardwareH264) GTEST_SKIP() << "hardware encoder present; software fallback not reached";
    // No hardware encoder here: the record is the software encoder.
    D3D d3d = createD3D(1);
    EXPECT_EQ(d3d.backend, EncoderBackend::Software);
    EXPECT_EQ(d3d.gpu.encoderName, kSoftwareEncoderName);
    EXPECT_TRUE(d3d.gpu.h264);
    EXPECT_FALSE(d3d.gpu.hevc);
    EXPECT_FALSE(d3d.gpu.av1);
    EXPECT_EQ(d3d.hwDevice, nullptr);
    D3D moved = std::move(d3d);
    EXPECT_EQ(moved.gpu.encoderName, kSoftwareEncoderName);
}

TEST(GpuDevice, HardwareRecordOpensItsDevice) {
    const std::vector<GpuInfo> gpus = listGpus();
    const auto chosen = chooseGpu(gpus, 0);
    if (!chosen) GTEST_SKIP() << "no hardware encoder on this machine";
    D3D d3d = createD3D(0);
    EXPECT_EQ(d3d.gpu, gpus[*chosen]);
    EXPECT_NE(d3d.backend, EncoderBackend::Software);
    EXPECT_NE(d3d.hwDevice, nullptr);
}

} // namespace
} // namespace krel
