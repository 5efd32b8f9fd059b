#include "core/replay_buffer.h"

#include "test_media.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace krel {
namespace {

constexpr int64_t kSec = 10'000'000;
constexpr int64_t kFrame = kSec / 60;

PacketPtr pkt(int32_t stream, int64_t pts, bool key, size_t bytes = 100, int64_t duration = kFrame) {
    auto p = std::make_shared<Packet>();
    p->stream = stream;
    p->pts = pts;
    p->keyframe = key;
    p->duration = duration;
    p->data.assign(bytes, 0xAB);
    return p;
}

// Pushes `seconds` of 60 fps video with a key frame every 2 s, starting at
// `start`, plus 1024-sample AAC-sized audio packets covering the same time.
void fill(ReplayBuffer& b, int64_t start, int seconds, size_t videoBytes = 100) {
    const int frames = seconds * 60;
    int64_t audioPts = start;
    const int64_t audioDur = 1024 * kSec / 48000;
    for (int i = 0; i < frames; ++i) {
        const int64_t t = start + i * kSec / 60;
        b.push(pkt(0, t, i % 120 == 0, videoBytes));
        while (audioPts <= t) {
            b.push(pkt(1, audioPts, true, 10, audioDur));
            audioPts += audioDur;
        }
    }
}

int64_t payloadTotal(const std::vector<PacketPtr>& ps) {
    int64_t n = 0;
    for (const auto& p : ps) n += static_cast<int64_t>(p->data.size());
    return n;
}

TEST(ReplayBuffer, EmptyAndSinglePacket) {
    ReplayBuffer b;
    EXPECT_EQ(b.durationHns(), 0);
    EXPECT_TRUE(b.snapshot(kSec).empty());
    b.push(pkt(0, 5 * kSec, false, 500));
    EXPECT_EQ(b.durationHns(), 0);
    // A single video packet is never trimmed, whatever the limits.
    b.setLimits(1, 1);
    EXPECT_EQ(b.byteCount(), 500);
    // Only non-key frames: nothing to start a snapshot at.
    b.push(pkt(0, 5 * kSec + kFrame, false, 500));
    EXPECT_TRUE(b.snapshot(kSec).empty());
    // Audio alone gives no snapshot either.
    ReplayBuffer a;
    a.push(pkt(1, kSec, true));
    EXPECT_TRUE(a.snapshot(kSec).empty());
    EXPECT_EQ(a.byteCount(), 100);
}

TEST(ReplayBuffer, SpanOscillatesBetweenLimitAndLimitPlusOneGop) {
    ReplayBuffer b;
    int64_t minSpan = INT64_MAX, maxSpan = 0;
    const int64_t audioDur = 1024 * kSec / 48000;
    int64_t audioPts = 0;
    for (int i = 0; i < 150 * 60; ++i) {
        const int64_t t = i * kSec / 60;
        b.push(pkt(0, t, i % 120 == 0));
        while (audioPts <= t) {
            b.push(pkt(1, audioPts, true, 10, audioDur));
            audioPts += audioDur;
        }
        if (t >= 70 * kSec) {
            minSpan = std::min(minSpan, b.durationHns());
            maxSpan = std::max(maxSpan, b.durationHns());
            // The front is a key frame once trimming started.
            auto s = b.snapshot(1000 * kSec);
            ASSERT_TRUE(s.front()->keyframe);
            ASSERT_EQ(s.front()->stream, 0);
        }
    }
    EXPECT_GE(minSpan, 60 * kSec - kFrame);
    EXPECT_LE(maxSpan, 62 * kSec);
    EXPECT_GE(maxSpan, 61 * kSec);
    // Byte total matches what a full snapshot holds, and no audio ends before
    // the first video packet.
    auto all = b.snapshot(1000 * kSec);
    const int64_t front = all.front()->pts;
    for (const auto& p : all)
        if (p->stream == 1) {
            EXPECT_GE(p->pts + p->duration, front);
        }
}

TEST(ReplayBuffer, ByteLimitKeepsNewestGop) {
    ReplayBuffer b;
    fill(b, 0, 10, 1000); // 5 GOPs of 120 000 bytes each
    b.setLimits(ReplayBuffer::kDefaultMaxHns, 50'000);
    // Smaller than one GOP: exactly the newest GOP stays, above the limit.
    EXPECT_EQ(b.durationHns(), 599 * kSec / 60 - 480 * kSec / 60);
    auto s = b.snapshot(1000 * kSec);
    int video = 0;
    for (const auto& p : s) video += p->stream == 0;
    EXPECT_EQ(video, 120);
    EXPECT_TRUE(s.front()->keyframe);
    EXPECT_EQ(s.front()->pts, 8 * kSec);
    // The total is the GOP plus the audio overlapping it (2 s of 10-byte
    // packets and at most one that starts before the front).
    EXPECT_GT(b.byteCount(), 50'000);
    EXPECT_GE(b.byteCount(), 120'000 + payloadTotal(s) - 120'000);
    EXPECT_LE(b.byteCount(), payloadTotal(s) + 10);
}

TEST(ReplayBuffer, LimitsTakeEffectImmediately) {
    ReplayBuffer b;
    fill(b, 0, 20);
    EXPECT_GE(b.durationHns(), 19 * kSec);
    b.setLimits(6 * kSec, ReplayBuffer::kDefaultMaxBytes);
    // No push needed: the span is already between 6 s and 8 s.
    EXPECT_GE(b.durationHns(), 6 * kSec - kFrame);
    EXPECT_LT(b.durationHns(), 8 * kSec);
    const int64_t bytes = b.byteCount();
    auto all = b.snapshot(1000 * kSec);
    EXPECT_LE(payloadTotal(all), bytes);
}

TEST(ReplayBuffer, AudioFollowsVideoFront) {
    ReplayBuffer b;
    b.setLimits(2 * kSec, ReplayBuffer::kDefaultMaxBytes);
    b.push(pkt(1, 0, true, 10, kSec));            // ends at 1 s
    b.push(pkt(1, kSec, true, 10, 3 * kSec));     // ends exactly at 4 s
    b.push(pkt(1, 2 * kSec, true, 10, kSec / 2)); // ends at 2.5 s
    b.push(pkt(0, 2 * kSec, true));
    b.push(pkt(0, 4 * kSec, true));
    b.push(pkt(0, 6 * kSec, true)); // 6 - 4 >= 2 s: the GOP at 2 s goes
    EXPECT_EQ(b.durationHns(), 2 * kSec);
    // Front is now 4 s: audio ending before 4 s is gone, the one ending at
    // exactly 4 s stays; the one ending at 2.5 s sits behind it in the queue
    // and stays too (only the front of the queue is examined).
    EXPECT_EQ(b.byteCount(), 100 * 2 + 10 * 2);
}

TEST(ReplayBuffer, SnapshotSelection) {
    ReplayBuffer b;
    fill(b, 0, 10); // key frames at 0, 2, 4, 6, 8 s; newest video at 10 s - 1 frame
    const int64_t newest = 10 * kSec - kFrame;
    // Longer than the buffer: starts at the first key frame.
    auto all = b.snapshot(100 * kSec);
    EXPECT_EQ(all.front()->pts, 0);
    // Shorter than a GOP: the latest key frame at least the window before
    // the newest packet.
    auto s = b.snapshot(kSec);
    EXPECT_EQ(s.front()->pts, 8 * kSec);
    EXPECT_GE(newest - s.front()->pts, kSec);
    s = b.snapshot(3 * kSec);
    EXPECT_EQ(s.front()->pts, 6 * kSec);
    // Video first in arrival order, then audio with pts >= start.
    bool inAudio = false;
    int64_t last = INT64_MIN;
    for (const auto& p : s) {
        if (p->stream == 1) {
            if (!inAudio) last = INT64_MIN;
            inAudio = true;
            EXPECT_GE(p->pts, 6 * kSec);
        } else {
            EXPECT_FALSE(inAudio) << "video after audio";
        }
        EXPECT_GT(p->pts, last);
        last = p->pts;
    }
    EXPECT_TRUE(inAudio);
    // The buffer is unchanged by a snapshot.
    EXPECT_EQ(b.snapshot(100 * kSec).size(), all.size());
}

TEST(ReplayBuffer, EqualPtsVideoFirst) {
    ReplayBuffer b;
    b.push(pkt(1, kSec, true));
    b.push(pkt(0, kSec, true));
    auto s = b.snapshot(kSec);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0]->stream, 0);
    EXPECT_EQ(s[1]->stream, 1);
}

TEST(ReplayBuffer, SnapshotAndClearAndClear) {
    ReplayBuffer b;
    fill(b, 0, 4);
    const auto before = b.snapshot(kSec);
    const auto taken = b.snapshotAndClear(kSec);
    EXPECT_EQ(taken.size(), before.size());
    EXPECT_EQ(b.byteCount(), 0);
    EXPECT_EQ(b.durationHns(), 0);
    EXPECT_TRUE(b.snapshot(100 * kSec).empty());
    // Also when the selection is empty (only non-key video and audio).
    b.push(pkt(0, 5 * kSec, false));
    b.push(pkt(1, 5 * kSec, true));
    EXPECT_TRUE(b.snapshotAndClear(kSec).empty());
    EXPECT_EQ(b.byteCount(), 0);
    // The buffer works normally after being emptied.
    fill(b, 10 * kSec, 3);
    EXPECT_FALSE(b.snapshot(kSec).empty());
    b.clear();
    EXPECT_EQ(b.byteCount(), 0);
    EXPECT_TRUE(b.snapshot(kSec).empty());
}

TEST(ReplayBuffer, AudioBoundedWithoutFreshVideo) {
    ReplayBuffer b;
    b.setLimits(5 * kSec, ReplayBuffer::kDefaultMaxBytes);
    const int64_t audioDur = 1024 * kSec / 48000;
    // No video at all for 10 minutes of audio.
    int64_t t = 0;
    for (; t < 600 * kSec; t += audioDur) b.push(pkt(1, t, true, 10, audioDur));
    const int64_t bound = (5 * kSec + ReplayBuffer::kAudioSlackHns) / audioDur + 2;
    EXPECT_LE(b.byteCount(), bound * 10);
    // Video stops while audio goes on: audio stays bounded as well, and a
    // snapshot still takes the buffered audio from its key frame on.
    b.clear();
    fill(b, 0, 6);
    for (t = 6 * kSec; t < 600 * kSec; t += audioDur) b.push(pkt(1, t, true, 10, audioDur));
    const int64_t videoBytes = 100 * 360;
    EXPECT_LE(b.byteCount() - videoBytes, bound * 10 + 10 * 100);
    auto s = b.snapshot(kSec);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s.front()->stream, 0);
    EXPECT_EQ(s.back()->stream, 1);
}

TEST(ReplayBuffer, RealMediaFromTwoProducers) {
    test::MediaOptions o;
    o.seconds = 12;
    o.width = 160;
    o.height = 96;
    const auto media = test::encodeTestMedia(o);
    ReplayBuffer b;
    b.setLimits(6 * kSec, ReplayBuffer::kDefaultMaxBytes);
    std::thread video([&] {
        for (const auto& p : media.videoPackets) b.push(p);
    });
    std::thread audio([&] {
        for (const auto& p : media.audioPackets) b.push(p);
    });
    // Snapshots race with the producers and must always be well formed.
    for (int i = 0; i < 200; ++i) {
        auto s = b.snapshot(2 * kSec);
        if (s.empty()) continue;
        ASSERT_EQ(s.front()->stream, 0);
        ASSERT_TRUE(s.front()->keyframe);
    }
    video.join();
    audio.join();
    EXPECT_GE(b.durationHns(), 6 * kSec - kFrame);
    EXPECT_LT(b.durationHns(), 8 * kSec);
    auto s = b.snapshot(6 * kSec);
    EXPECT_EQ(s.front()->pts, media.videoPackets[4 * 60]->pts); // key frame at 4 s
}

// Pushes `seconds` of 60 fps video of pipeline `generation` with a key frame
// every 2 s, starting at `start`.
void fillGeneration(ReplayBuffer& b, uint64_t generation, int64_t start, int seconds) {
    for (int i = 0; i < seconds * 60; ++i)
        b.push(pkt(0, start + i * kSec / 60, i % 120 == 0), generation);
}

// A buffer spanning pipeline restarts: a snapshot holds video of one
// generation only, the newest with a key frame, and otherwise follows the
// usual rules within it.
TEST(ReplayBuffer, SnapshotsTakeOneGeneration) {
    ReplayBuffer b;
    b.setLimits(60 * kSec, ReplayBuffer::kDefaultMaxBytes);
    fillGeneration(b, 1, 0, 10);
    fillGeneration(b, 2, 11 * kSec, 5); // key frames at 11 s and 13 s, last at ~16 s
    b.push(pkt(1, 9 * kSec, true));
    b.push(pkt(1, 12 * kSec, true));
    uint64_t generation = 0;
    // 30 s reach back into generation 1: the clip starts at generation 2's
    // first key frame, and audio from there on.
    auto s = b.snapshot(30 * kSec, &generation);
    EXPECT_EQ(generation, 2u);
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s.front()->pts, 11 * kSec);
    EXPECT_TRUE(s.front()->keyframe);
    EXPECT_EQ(s.size(), 5u * 60 + 1);
    EXPECT_EQ(s.back()->pts, 12 * kSec);
    // Within the generation the latest key frame at least the window back.
    s = b.snapshot(2 * kSec, &generation);
    EXPECT_EQ(s.front()->pts, 13 * kSec);

    // A new generation without a key frame yet: the previous one is taken,
    // up to its own last packet.
    b.push(pkt(0, 17 * kSec, false), 3);
    s = b.snapshot(2 * kSec, &generation);
    EXPECT_EQ(generation, 2u);
    EXPECT_EQ(s.front()->pts, 13 * kSec);
    EXPECT_EQ(s[s.size() - 2]->stream, 0);
    EXPECT_LT(s[s.size() - 2]->pts, 17 * kSec);
    // Its first key frame makes it the snapshot's generation; the same
    // generation number again later continues it.
    b.push(pkt(0, 18 * kSec, true), 3);
    b.push(pkt(0, 19 * kSec, false), 3);
    s = b.snapshotAndClear(30 * kSec, &generation);
    EXPECT_EQ(generation, 3u);
    EXPECT_EQ(s.front()->pts, 18 * kSec);
    EXPECT_FALSE(b.holdsVideo());

    // Trimming drops old generations with their packets.
    b.setLimits(4 * kSec, ReplayBuffer::kDefaultMaxBytes);
    fillGeneration(b, 4, 0, 4);
    fillGeneration(b, 5, 4 * kSec, 10);
    s = b.snapshot(60 * kSec, &generation);
    EXPECT_EQ(generation, 5u);
    EXPECT_GE(s.front()->pts, 4 * kSec);
}

// Switching replay off races with the packet threads: once off and
// emptied, no packet of a thread that saw it on may land in the buffer.
TEST(ReplayBuffer, OffAndClearedStaysEmptyWhileProducersPush) {
    ReplayBuffer b;
    std::atomic<bool> running{true};
    auto producer = [&](int32_t stream) {
        for (int64_t t = 0; running.load(); t += kFrame) b.push(pkt(stream, t, stream == 0 && t % kSec == 0));
    };
    std::thread video(producer, 0), audio(producer, 1);
    for (int round = 0; round < 200; ++round) {
        b.setEnabled(true);
        std::this_thread::yield();
        b.disableAndClear();
        EXPECT_FALSE(b.enabled());
        for (int i = 0; i < 20; ++i) ASSERT_EQ(b.byteCount(), 0) << "round " << round;
    }
    running = false;
    video.join();
    audio.join();
    EXPECT_EQ(b.byteCount(), 0);
    EXPECT_FALSE(b.push(pkt(0, 0, true)));
    // Off through the settings: buffering stops, the contents stay.
    b.setEnabled(true);
    b.push(pkt(0, 0, true));
    b.setEnabled(false);
    b.push(pkt(0, kFrame, false));
    EXPECT_EQ(b.byteCount(), 100);
}

} // namespace
} // namespace krel
