#include "core/mp4_writer.h"

#include "core/hr_error.h"
#include "temp_dir.h"
#include "test_media.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace krel {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kSec = 10'000'000;

test::EncodedMedia smallMedia(double seconds, bool audio = true) {
    test::MediaOptions o;
    o.seconds = seconds;
    o.width = 160;
    o.height = 96;
    o.audio = audio;
    return test::encodeTestMedia(o);
}

void writeAll(Mp4Writer& w, const std::vector<PacketPtr>& packets, int64_t base) {
    for (const auto& p : packets) w.writeSample(*p, base);
}

TEST(Mp4Writer, WithoutAudioTypeIgnoresAudio) {
    test::TempDir dir;
    const auto media = smallMedia(2);
    const auto video = makeSinkVideoType(media.video, media.videoPackets[0]->data);
    {
        Mp4Writer w(dir / "a.mp4", video, std::nullopt, false);
        EXPECT_FALSE(w.hasAudio());
        writeAll(w, test::interleaved(media), media.videoPackets[0]->pts);
        w.finalize();
        w.finalize(); // a second finalize does nothing
        // Samples after finalize are ignored.
        w.writeSample(*media.videoPackets[0], 0);
    }
    const auto rb = test::readBack(dir / "a.mp4");
    ASSERT_EQ(rb.streams.size(), 1u);
    EXPECT_EQ(rb.streams[0].codec, "h264");
    EXPECT_EQ(rb.streams[0].packets, 120);
    EXPECT_EQ(rb.streams[0].decodedFrames, 120);
    EXPECT_EQ(rb.streams[0].width, 160);
}

TEST(Mp4Writer, TimesRebasedAndClampedAtZero) {
    test::TempDir dir;
    const auto media = smallMedia(1, false);
    const auto video = makeSinkVideoType(media.video, media.videoPackets[0]->data);
    {
        Mp4Writer w(dir / "b.mp4", video, std::nullopt, false);
        // Base one second after the first packet: the first 60 frames lie
        // before it. They are written at time 0 onward, still in order.
        writeAll(w, media.videoPackets, media.videoPackets[0]->pts + kSec / 2);
        w.finalize();
    }
    const auto rb = test::readBack(dir / "b.mp4");
    ASSERT_EQ(rb.streams.size(), 1u);
    EXPECT_EQ(rb.streams[0].packets, 60);
    EXPECT_EQ(rb.streams[0].firstPts, 0.0);
    EXPECT_TRUE(rb.streams[0].firstIsKey);
    EXPECT_EQ(rb.streams[0].decodedFrames, 60);
    // The rebased tail: last frame ends half a second after time 0.
    EXPECT_NEAR(rb.streams[0].lastEnd, 0.5, 0.02);
}

TEST(Mp4Writer, ProbeClip) {
    test::TempDir dir;
    test::MediaOptions o;
    o.width = 1920;
    o.height = 1080;
    o.fps = 10;
    o.gopFrames = 20;
    o.seconds = 3;
    const auto media = test::encodeTestMedia(o);
    {
        Mp4Writer w(dir / "p.mp4", makeSinkVideoType(media.video, media.videoPackets[0]->data), media.audio, false);
        writeAll(w, test::interleaved(media), media.videoPackets[0]->pts);
    } // the destructor finalizes
    const ClipProbe p = probeClip(dir / "p.mp4");
    EXPECT_NEAR(static_cast<double>(p.durationHns), 3.0 * kSec, 0.1 * kSec);
    EXPECT_EQ(p.width, 1920u);
    EXPECT_EQ(p.height, 1080u);

    // Missing and unreadable files.
    EXPECT_THROW(probeClip(dir / "missing.mp4"), HrError);
    std::ofstream(dir / "text.mp4") << "not a video";
    try {
        probeClip(dir / "text.mp4");
        FAIL() << "no error for a text file";
    } catch (const HrError& e) {
        EXPECT_NE(std::string(e.what()).find("avformat_"), std::string::npos) << e.what();
    }
}

TEST(Mp4Writer, OpenFailureNamesTheCall) {
    test::TempDir dir;
    const auto media = smallMedia(0.1, false);
    std::ofstream(dir / "file") << "x";
    try {
        Mp4Writer w(dir / "file" / "clip.mp4", makeSinkVideoType(media.video, media.videoPackets[0]->data),
                    std::nullopt, false);
        FAIL() << "opened a file below a regular file";
    } catch (const HrError& e) {
        EXPECT_EQ(e.call(), "open(path, O_WRONLY | O_CREAT | O_TRUNC)");
        EXPECT_EQ(std::string(e.what()), fmt::format("{} (0x{:08X})", e.call(), e.code()));
        EXPECT_EQ(static_cast<int32_t>(e.code()), -ENOTDIR);
    }
}

// Top-level boxes of an MP4 file: (type, offset, size).
struct Box {
    std::string type;
    uint64_t offset, size;
};

std::vector<Box> topLevelBoxes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<Box> boxes;
    uint64_t offset = 0;
    const uint64_t total = fs::file_size(file);
    while (offset + 8 <= total) {
        unsigned char h[16];
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(reinterpret_cast<char*>(h), 8);
        uint64_t size = (uint64_t{h[0]} << 24) | (uint64_t{h[1]} << 16) | (uint64_t{h[2]} << 8) | h[3];
        if (size == 1) {
            in.read(reinterpret_cast<char*>(h + 8), 8);
            size = 0;
            for (int i = 8; i < 16; ++i) size = (size << 8) | h[i];
        }
        if (size < 8) break;
        boxes.push_back({std::string(reinterpret_cast<char*>(h + 4), 4), offset, size});
        offset += size;
    }
    return boxes;
}

void copyPrefix(const fs::path& from, const fs::path& to, uint64_t bytes) {
    std::ifstream in(from, std::ios::binary);
    std::string data(bytes, '\0');
    in.read(data.data(), static_cast<std::streamsize>(bytes));
    std::ofstream(to, std::ios::binary).write(data.data(), static_cast<std::streamsize>(bytes));
}

// Frames of video held by the complete moof+mdat pairs that end at or before
// `cut`, assuming one GOP of `gop` frames per fragment.
int completeFragmentFrames(const std::vector<Box>& boxes, uint64_t cut, int gop) {
    int frames = 0;
    for (size_t i = 0; i + 1 < boxes.size(); ++i)
        if (boxes[i].type == "moof" && boxes[i + 1].type == "mdat" && boxes[i + 1].offset + boxes[i + 1].size <= cut)
            frames += gop;
    return frames;
}

TEST(Mp4Writer, FragmentedRecordingSurvivesTruncation) {
    test::TempDir dir;
    const auto media = smallMedia(8); // four GOPs
    const fs::path rec = dir / "rec.mp4";
    {
        Mp4Writer w(rec, makeSinkVideoType(media.video, media.videoPackets[0]->data), media.audio, true);
        writeAll(w, test::interleaved(media), media.videoPackets[0]->pts);
    }
    const auto boxes = topLevelBoxes(rec);
    ASSERT_GE(boxes.size(), 4u);
    EXPECT_EQ(boxes[0].type, "ftyp");
    EXPECT_EQ(boxes[1].type, "moov");
    int moofs = 0;
    for (const auto& b : boxes) moofs += b.type == "moof";
    EXPECT_EQ(moofs, 4);

    const uint64_t total = fs::file_size(rec);
    const uint64_t moovEnd = boxes[1].offset + boxes[1].size;
    for (int k = 1; k <= 12; ++k) {
        const uint64_t cut = moovEnd + (total - moovEnd) * static_cast<uint64_t>(k) / 13 + 7 * k;
        const fs::path part = dir / ("cut" + std::to_string(k) + ".mp4");
        copyPrefix(rec, part, cut);
        const int expected = completeFragmentFrames(boxes, cut, 120);
        test::FileReadBack rb;
        ASSERT_NO_THROW(rb = test::readBack(part)) << "cut at " << cut;
        const auto* v = rb.video();
        ASSERT_NE(v, nullptr);
        EXPECT_GE(v->decodedFrames, expected) << "cut at " << cut << " of " << total;
        EXPECT_TRUE(v->packets == 0 || v->firstIsKey);
    }
}

TEST(Mp4Writer, RecordingKilledMidWriteStaysPlayable) {
    test::TempDir dir;
    const auto media = smallMedia(8);
    const auto packets = test::interleaved(media);
    const fs::path rec = dir / "killed.mp4";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Written as a recording does, then killed without any clean-up
        // after five and a half seconds of media.
        Mp4Writer w(rec, makeSinkVideoType(media.video, media.videoPackets[0]->data), media.audio, true);
        for (const auto& p : packets) {
            w.writeSample(*p, media.videoPackets[0]->pts);
            if (p->pts - media.videoPackets[0]->pts > 55 * kSec / 10) raise(SIGKILL);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    const auto rb = test::readBack(rec);
    const auto* v = rb.video();
    ASSERT_NE(v, nullptr);
    // The fragments of the first two GOPs were complete on disk.
    EXPECT_GE(v->decodedFrames, 240);
    EXPECT_EQ(v->decodeErrors, 0);
    EXPECT_NE(rb.audio(), nullptr);
}

} // namespace
} // namespace krel
