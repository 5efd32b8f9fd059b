#include "core/clip_writer.h"

#include "core/hr_error.h"
#include "core/replay_buffer.h"
#include "temp_dir.h"
#include "test_media.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// Every fsync of this process is recorded, by the path of what was synced at
// that moment, and then done by the C library. The writer's calls reach this
// definition because the program defines the symbol itself.
namespace {
std::mutex gSyncMutex;
std::vector<std::string> gSynced;
} // namespace

extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    std::error_code ec;
    const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
    {
        std::lock_guard lock(gSyncMutex);
        gSynced.push_back(ec ? std::string() : target.string());
    }
    return real(fd);
}

namespace krel {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kSec = 10'000'000;

class ClipWriter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::MediaOptions o;
        o.seconds = 10;
        o.audioLeadHns = kSec / 2; // audio starts before the first key frame
        media_ = new test::EncodedMedia(test::encodeTestMedia(o));
    }
    static void TearDownTestSuite() { delete media_; }

    // The replay buffer filled by two producer threads, as the encoders do.
    static std::vector<PacketPtr> snapshotOf(int64_t windowHns) {
        ReplayBuffer b;
        std::thread video([&] {
            for (const auto& p : media_->videoPackets) b.push(p);
        });
        std::thread audio([&] {
            for (const auto& p : media_->audioPackets) b.push(p);
        });
        video.join();
        audio.join();
        return b.snapshot(windowHns);
    }

    static test::EncodedMedia* media_;
    test::TempDir dir_;
};
test::EncodedMedia* ClipWriter::media_ = nullptr;

TEST_F(ClipWriter, ReplayClipReadsBackCorrectly) {
    const auto snap = snapshotOf(3 * kSec);
    int snapVideo = 0;
    for (const auto& p : snap) snapVideo += p->stream == 0;
    const fs::path clip = dir_ / "clip.mp4";
    writeReplayClip(clip, snap, media_->video, media_->audio);
    EXPECT_TRUE(fs::exists(clip));
    EXPECT_FALSE(fs::exists(dir_ / "clip.mp4.part"));

    const auto rb = test::readBack(clip);
    ASSERT_EQ(rb.streams.size(), 2u);
    const auto* v = rb.video();
    const auto* a = rb.audio();
    ASSERT_TRUE(v && a);
    EXPECT_EQ(v->width, 320);
    EXPECT_EQ(v->height, 240);
    EXPECT_TRUE(v->firstIsKey);
    EXPECT_EQ(v->firstPts, 0.0);
    EXPECT_GE(a->minPts, 0.0);
    EXPECT_EQ(v->packets, snapVideo);
    EXPECT_EQ(v->decodedFrames, snapVideo);
    EXPECT_EQ(v->decodeErrors, 0);
    // Requested 3 s; the clip starts at the key frame at least 3 s back
    // (within one GOP).
    EXPECT_GE(v->lastEnd, 3.0);
    EXPECT_LE(v->lastEnd, 5.0);
    EXPECT_NEAR(a->lastEnd, v->lastEnd, 0.05);

    const auto probe = test::ffprobe(clip);
    ASSERT_TRUE(probe.contains("streams")) << probe.dump();
    ASSERT_EQ(probe["streams"].size(), 2u);
    for (const auto& s : probe["streams"]) {
        if (s["codec_type"] == "video") {
            EXPECT_EQ(s["codec_name"], "h264");
            EXPECT_EQ(s["width"], 320);
            EXPECT_EQ(s["nb_read_packets"], std::to_string(snapVideo));
        } else {
            EXPECT_EQ(s["codec_name"], "aac");
            EXPECT_EQ(s["sample_rate"], "48000");
            EXPECT_EQ(s["channels"], 2);
        }
    }
    EXPECT_NEAR(std::stod(probe["format"]["duration"].get<std::string>()), v->lastEnd, 0.1);
}

TEST_F(ClipWriter, AudioBeforeKeyFrameAndEmptyPayloadsAreSkipped) {
    // Hand-made snapshot: a non-key video frame and audio from before the
    // first key frame come first.
    std::vector<PacketPtr> snap;
    const auto& vp = media_->videoPackets;
    auto early = std::make_shared<Packet>(*vp[1]);
    early->pts = vp[0]->pts - kSec / 10;
    snap.push_back(early);
    for (int i = 0; i < 120; ++i) snap.push_back(vp[i]);
    auto empty = std::make_shared<Packet>();
    empty->stream = 0;
    empty->pts = vp[119]->pts + 1;
    snap.push_back(empty);
    auto foreign = std::make_shared<Packet>(*media_->audioPackets[40]);
    foreign->stream = 2;
    snap.push_back(foreign);
    int audioWritten = 0;
    for (const auto& p : media_->audioPackets) {
        if (p->pts > vp[119]->pts) break;
        snap.push_back(p);
        audioWritten += p->pts >= vp[0]->pts;
    }
    writeReplayClip(dir_ / "c.mp4", snap, media_->video, media_->audio);
    const auto rb = test::readBack(dir_ / "c.mp4");
    ASSERT_EQ(rb.streams.size(), 2u);
    // The early frame and the empty payload are skipped; the key frame is
    // the base.
    EXPECT_EQ(rb.video()->packets, 120);
    EXPECT_EQ(rb.audio()->packets, audioWritten);
    EXPECT_GE(rb.audio()->minPts, 0.0);
    EXPECT_EQ(rb.video()->decodeErrors, 0);
}

TEST_F(ClipWriter, VideoOnlyWhenNoAudioTypeOrNoAudioPackets) {
    const auto snap = snapshotOf(2 * kSec);
    writeReplayClip(dir_ / "noaudiotype.mp4", snap, media_->video, std::nullopt);
    EXPECT_EQ(test::readBack(dir_ / "noaudiotype.mp4").streams.size(), 1u);

    std::vector<PacketPtr> videoOnly;
    for (const auto& p : snap)
        if (p->stream == 0) videoOnly.push_back(p);
    writeReplayClip(dir_ / "noaudio.mp4", videoOnly, media_->video, media_->audio);
    const auto probe = test::ffprobe(dir_ / "noaudio.mp4");
    ASSERT_EQ(probe["streams"].size(), 1u);
    EXPECT_EQ(probe["streams"][0]["codec_type"], "video");
}

TEST_F(ClipWriter, NoKeyFrameCreatesNoFile) {
    std::vector<PacketPtr> snap(media_->videoPackets.begin() + 1, media_->videoPackets.begin() + 100);
    snap.insert(snap.end(), media_->audioPackets.begin(), media_->audioPackets.begin() + 10);
    try {
        writeReplayClip(dir_ / "none.mp4", snap, media_->video, media_->audio);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Noch keine Aufnahme im Videobeweis");
    }
    EXPECT_TRUE(fs::is_empty(dir_.path()));
    EXPECT_THROW(writeReplayClip(dir_ / "none.mp4", {}, media_->video, media_->audio), std::runtime_error);
}

TEST_F(ClipWriter, ReplacesExistingFileAndStalePart) {
    std::ofstream(dir_ / "same.mp4") << "someone else's file";
    std::ofstream(dir_ / "same.mp4.part") << "left over from a crash";
    writeReplayClip(dir_ / "same.mp4", snapshotOf(kSec), media_->video, media_->audio);
    EXPECT_FALSE(fs::exists(dir_ / "same.mp4.part"));
    EXPECT_EQ(test::readBack(dir_ / "same.mp4").streams.size(), 2u);
}

TEST_F(ClipWriter, FailuresLeaveNoFinalFile) {
    const auto snap = snapshotOf(2 * kSec);
    // Missing folder.
    try {
        writeReplayClip(dir_ / "missing" / "x.mp4", snap, media_->video, media_->audio);
        FAIL();
    } catch (const HrError& e) {
        EXPECT_NE(std::string(e.what()).find("open(path"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir_ / "missing"));

    // A full disk, simulated by a file size limit in a child process.
    const fs::path target = dir_ / "full.mp4";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        try {
            writeReplayClip(target, snap, media_->video, media_->audio);
            _exit(1); // reported success
        } catch (const HrError& e) {
            _exit(std::string(e.what()).find("(0x") != std::string::npos ? 0 : 2);
        } catch (...) {
            _exit(3);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(fs::exists(dir_ / "full.mp4.part"));

    // The rename itself failing: the final name is an existing non-empty
    // folder.
    fs::create_directories(dir_ / "dir.mp4" / "inside");
    try {
        writeReplayClip(dir_ / "dir.mp4", snap, media_->video, media_->audio);
        FAIL();
    } catch (const HrError& e) {
        EXPECT_EQ(e.call(), "Clip umbenennen");
    }
    EXPECT_TRUE(fs::is_directory(dir_ / "dir.mp4"));
}

TEST_F(ClipWriter, ConcurrentClipsFromOneSnapshot) {
    const auto snap = snapshotOf(4 * kSec);
    std::vector<std::thread> jobs;
    for (int i = 0; i < 3; ++i)
        jobs.emplace_back([&, i] { writeReplayClip(dir_ / ("c" + std::to_string(i) + ".mp4"), snap, media_->video, media_->audio); });
    for (auto& j : jobs) j.join();
    const auto first = test::readBack(dir_ / "c0.mp4");
    for (int i = 1; i < 3; ++i) {
        const auto rb = test::readBack(dir_ / ("c" + std::to_string(i) + ".mp4"));
        EXPECT_EQ(rb.video()->packets, first.video()->packets);
        EXPECT_EQ(rb.audio()->packets, first.audio()->packets);
    }
    EXPECT_EQ(first.video()->decodedFrames, first.video()->packets);
}

// A clip reported as written survives a power cut: its data reaches the
// medium while it still has its temporary name, and the folder (holding the
// rename) right after the rename.
TEST_F(ClipWriter, DataAndRenameAreForcedToTheMedium) {
    const auto snap = snapshotOf(3 * kSec);
    const fs::path clip = dir_ / "clip.mp4";
    {
        std::lock_guard lock(gSyncMutex);
        gSynced.clear();
    }
    writeReplayClip(clip, snap, media_->video, media_->audio);
    std::lock_guard lock(gSyncMutex);
    const std::vector<std::string> expected{(dir_ / "clip.mp4.part").string(), dir_.path().string()};
    EXPECT_EQ(gSynced, expected);
}

} // namespace
} // namespace krel
