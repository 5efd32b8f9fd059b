// The encoder configuration as a pure function of (backend, codec, settings),
// applied to real libavcodec contexts (not opened: no device needed), and the
// CUDA device numbering of NVIDIA adapters.

#include "media/encoder_settings.h"
#include "media/gpu_platform.h"

#include "temp_dir.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

namespace krel {
namespace {

#ifdef AV_PROFILE_H264_HIGH
constexpr int kH264High = AV_PROFILE_H264_HIGH;
constexpr int kHevcMain = AV_PROFILE_HEVC_MAIN;
#else
constexpr int kH264High = FF_PROFILE_H264_HIGH;
constexpr int kHevcMain = FF_PROFILE_HEVC_MAIN;
#endif

EncoderConfig config(int32_t codec, int32_t rate) {
    EncoderConfig c;
    c.width = 1920;
    c.height = 1080;
    c.fps = 60;
    c.codec = codec;
    c.rate = rate;
    c.bitrateKbps = 20000;
    c.qualityPreset = 2;
    return c;
}

struct ContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextFree>;

// A context of the named encoder with the settings applied; null when this
// libavcodec lacks the encoder.
ContextPtr applied(const char* name, const EncoderSettings& s) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) return nullptr;
    ContextPtr ctx(avcodec_alloc_context3(codec));
    applyEncoderSettings(ctx.get(), s);
    return ctx;
}

std::string optionOf(AVCodecContext* ctx, const char* key) {
    uint8_t* value = nullptr;
    if (av_opt_get(ctx->priv_data, key, 0, &value) < 0) return "?";
    std::string text(reinterpret_cast<char*>(value));
    av_free(value);
    return text;
}

// Whether option `key` of the context holds the named constant `name` (the
// rate-control and profile options are numbers with names).
bool optionIs(AVCodecContext* ctx, const char* key, const char* name) {
    ContextPtr other(avcodec_alloc_context3(ctx->codec));
    int64_t want = 0, have = 0;
    if (av_opt_set(other->priv_data, key, name, 0) < 0) return false;
    if (av_opt_get_int(other->priv_data, key, 0, &want) < 0) return false;
    if (av_opt_get_int(ctx->priv_data, key, 0, &have) < 0) return false;
    return want == have;
}

TEST(EncoderSettings, RateControlOnEveryBackend) {
    for (const auto backend : {EncoderBackend::Software, EncoderBackend::Vaapi, EncoderBackend::Nvenc}) {
        SCOPED_TRACE(static_cast<int>(backend));
        const EncoderSettings cbr = encoderSettings(backend, Codec::H264, config(0, 0));
        EXPECT_EQ(cbr.bitRate, 20'000'000);
        EXPECT_EQ(cbr.maxRate, 20'000'000);
        EXPECT_EQ(cbr.minRate, 20'000'000);
        EXPECT_EQ(cbr.bufferSize, 20'000'000);
        const EncoderSettings vbr = encoderSettings(backend, Codec::H264, config(0, 1));
        EXPECT_EQ(vbr.bitRate, 20'000'000);
        EXPECT_EQ(vbr.maxRate, 30'000'000);
        EXPECT_EQ(vbr.minRate, 0);
        const EncoderSettings cqp = encoderSettings(backend, Codec::H264, config(0, 2));
        EXPECT_EQ(cqp.bitRate, 0);
        EXPECT_EQ(cqp.maxRate, 0);
        for (const auto& s : {cbr, vbr, cqp}) {
            EXPECT_EQ(s.gopSize, 120);
            EXPECT_EQ(s.maxBFrames, 0);
            EXPECT_EQ(s.width, 1920);
            EXPECT_EQ(s.timeBaseDen, 10'000'000);
        }
    }
    const auto sw = encoderSettings(EncoderBackend::Software, Codec::H264, config(0, 2));
    EXPECT_EQ(sw.option("crf"), "23");
    EXPECT_EQ(sw.option("preset"), "ultrafast");
    EXPECT_EQ(sw.option("forced-idr"), "1");

    EXPECT_EQ(encoderSettings(EncoderBackend::Vaapi, Codec::H264, config(0, 0)).option("rc_mode"), "CBR");
    EXPECT_EQ(encoderSettings(EncoderBackend::Vaapi, Codec::H264, config(0, 1)).option("rc_mode"), "VBR");
    const auto vaCqp = encoderSettings(EncoderBackend::Vaapi, Codec::H264, config(0, 2));
    EXPECT_EQ(vaCqp.option("rc_mode"), "CQP");
    EXPECT_EQ(vaCqp.globalQuality, 23);
    EXPECT_EQ(vaCqp.compressionLevel, 4);

    EXPECT_EQ(encoderSettings(EncoderBackend::Nvenc, Codec::H264, config(0, 0)).option("rc"), "cbr");
    EXPECT_EQ(encoderSettings(EncoderBackend::Nvenc, Codec::H264, config(0, 1)).option("rc"), "vbr");
    const auto nvCqp = encoderSettings(EncoderBackend::Nvenc, Codec::H264, config(0, 2));
    EXPECT_EQ(nvCqp.option("rc"), "constqp");
    EXPECT_EQ(nvCqp.option("qp"), "23");
    EXPECT_EQ(nvCqp.option("preset"), "p4");
}

TEST(EncoderSettings, ProfilesPerBackendAndCodecAndNoneForAv1) {
    // VA-API takes the profile from the context: High, Main, and none for
    // AV1 (a forced H.264 profile made av1_vaapi refuse to open).
    const auto vaH264 = encoderSettings(EncoderBackend::Vaapi, Codec::H264, config(0, 1));
    const auto vaHevc = encoderSettings(EncoderBackend::Vaapi, Codec::Hevc, config(1, 1));
    const auto vaAv1 = encoderSettings(EncoderBackend::Vaapi, Codec::Av1, config(2, 1));
    EXPECT_EQ(vaH264.profile, kH264High);
    EXPECT_EQ(vaHevc.profile, kHevcMain);
    EXPECT_EQ(vaAv1.profile, kProfileUnknown);
    EXPECT_EQ(vaAv1.option("profile"), "");

    // NVENC reads only its "profile" option.
    const auto nvH264 = encoderSettings(EncoderBackend::Nvenc, Codec::H264, config(0, 1));
    const auto nvHevc = encoderSettings(EncoderBackend::Nvenc, Codec::Hevc, config(1, 2));
    const auto nvAv1 = encoderSettings(EncoderBackend::Nvenc, Codec::Av1, config(2, 0));
    EXPECT_EQ(nvH264.option("profile"), "high");
    EXPECT_EQ(nvHevc.option("profile"), "main");
    EXPECT_EQ(nvAv1.option("profile"), "");
    for (const auto& s : {nvH264, nvHevc, nvAv1}) EXPECT_EQ(s.profile, kProfileUnknown);

    EXPECT_EQ(encoderSettings(EncoderBackend::Software, Codec::H264, config(0, 1)).profile, kH264High);

    EXPECT_EQ(encoderNameFor(EncoderBackend::Vaapi, codecOf(2)), "av1_vaapi");
    EXPECT_EQ(encoderNameFor(EncoderBackend::Nvenc, codecOf(1)), "hevc_nvenc");
    EXPECT_EQ(encoderNameFor(EncoderBackend::Software, codecOf(7)), "libx264");
    EXPECT_EQ(encoderNameFor(EncoderBackend::Software, Codec::Av1), "");
}

TEST(EncoderSettings, AppliedToRealEncoderContexts) {
    // The software encoder.
    const auto x264 = applied("libx264", encoderSettings(EncoderBackend::Software, Codec::H264, config(0, 2)));
    ASSERT_TRUE(x264);
    EXPECT_EQ(x264->width, 1920);
    EXPECT_EQ(x264->gop_size, 120);
    EXPECT_EQ(x264->max_b_frames, 0);
    EXPECT_EQ(x264->time_base.den, 10'000'000);
    EXPECT_EQ(x264->framerate.num, 60);
    EXPECT_EQ(x264->colorspace, AVCOL_SPC_BT709);
    EXPECT_EQ(x264->color_range, AVCOL_RANGE_MPEG);
    EXPECT_EQ(optionOf(x264.get(), "preset"), "ultrafast");
    EXPECT_EQ(optionOf(x264.get(), "crf"), "23.000000");

    // VA-API and NVENC contexts can be set up without their device, when
    // this libavcodec carries them.
    if (const auto av1 = applied("av1_vaapi", encoderSettings(EncoderBackend::Vaapi, Codec::Av1, config(2, 1)))) {
        EXPECT_EQ(av1->profile, kProfileUnknown);
        EXPECT_EQ(av1->rc_max_rate, 30'000'000);
        EXPECT_EQ(av1->compression_level, 4);
    }
    if (const auto h264 = applied("h264_vaapi", encoderSettings(EncoderBackend::Vaapi, Codec::H264, config(0, 0)))) {
        EXPECT_EQ(h264->profile, kH264High);
        EXPECT_TRUE(optionIs(h264.get(), "rc_mode", "CBR"));
    }
    if (const auto nv = applied("h264_nvenc", encoderSettings(EncoderBackend::Nvenc, Codec::H264, config(0, 2)))) {
        EXPECT_TRUE(optionIs(nv.get(), "profile", "high"));
        EXPECT_FALSE(optionIs(nv.get(), "profile", "main"));
        EXPECT_TRUE(optionIs(nv.get(), "rc", "constqp"));
        EXPECT_EQ(optionOf(nv.get(), "qp"), "23");
    }
    if (const auto nv = applied("hevc_nvenc", encoderSettings(EncoderBackend::Nvenc, Codec::Hevc, config(1, 1)))) {
        EXPECT_TRUE(optionIs(nv.get(), "profile", "main"));
        EXPECT_TRUE(optionIs(nv.get(), "rc", "vbr"));
    }
}

platform::AdapterNode node(uint64_t luid, uint32_t vendor, const std::string& bus) {
    platform::AdapterNode n;
    n.devicePath = "/dev/dri/renderD" + std::to_string(128 + luid);
    n.vendorId = vendor;
    n.luid = luid;
    n.pciBusId = bus;
    return n;
}

TEST(CudaDevice, NvidiaNodesAreCountedInPciBusOrder) {
    // Listed by render node; CUDA counts by bus: 0000:01 first, then 0000:0a,
    // then 0000:41. The Intel node does not count; a node without bus id
    // comes last.
    const std::vector<platform::AdapterNode> nodes{
        node(1, kVendorNvidia, "0000:41:00.0"), node(2, 0x8086, "0000:00:02.0"),
        node(3, kVendorNvidia, "0000:01:00.0"), node(4, kVendorNvidia, ""), node(5, kVendorNvidia, "0000:0a:00.0")};
    EXPECT_EQ(platform::cudaOrdinal(nodes, nodes[2]), 0);
    EXPECT_EQ(platform::cudaOrdinal(nodes, nodes[4]), 1);
    EXPECT_EQ(platform::cudaOrdinal(nodes, nodes[0]), 2);
    EXPECT_EQ(platform::cudaOrdinal(nodes, nodes[3]), 3);
}

TEST(CudaDevice, BusIdIsReadFromSysfs) {
    test::TempDir dir;
    const auto drm = dir.path() / "class/drm";
    std::filesystem::create_directories(drm / "renderD128/device");
    std::ofstream(drm / "renderD128/device/vendor") << "0x10de\n";
    std::ofstream(drm / "renderD128/device/uevent") << "DRIVER=nvidia\nPCI_SLOT_NAME=0000:0A:00.0\n";
    const auto nodes = platform::enumerateAdapters(drm, "/dev/dri");
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0].pciBusId, "0000:0a:00.0");
}

} // namespace
} // namespace krel
