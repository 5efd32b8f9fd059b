#pragma once
// The replay buffer ("Videobeweis"): the most recent stretch of encoded video
// and audio packets, bounded by a duration and a byte limit.
//
// Video and audio are kept in two queues in arrival order; the buffer never
// sorts. Trimming drops whole GOPs from the front of the video queue only (a
// GOP goes for age only while the video from the next key frame on still
// spans the duration limit, so a full buffer spans between the limit and the
// limit plus one GOP); audio follows the video front. The byte total counts
// both queues.
//
// Audio without fresh video: while the video queue is empty, or while video
// has stopped arriving (capture stopped, audio still running), trimming
// against the video front alone would let audio grow without limit. Audio is
// therefore also dropped from the front once it ends more than the duration
// limit plus kAudioSlackHns before the newest audio packet. In normal
// operation (video arriving, GOPs of a few seconds) this never removes audio
// that the video rule keeps, so snapshots are unaffected; with stale video a
// snapshot still takes exactly the buffered audio from its start key frame on.
//
// Thread safety: every operation takes mutex_ for its whole duration and
// calls nothing outside the buffer while holding it, so the buffer lock is
// the innermost lock of the engine. push is called concurrently by the video
// and audio threads.

#include "core/packet.h"
#include "core/ring_queue.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace krel {

class ReplayBuffer {
public:
    static constexpr int64_t kDefaultMaxHns = 600'000'000;            // 60 s
    static constexpr uint64_t kDefaultMaxBytes = 1500ull * (1ull << 20); // 1500 MiB
    // Extra audio kept beyond the duration limit before the audio bound
    // applies; longer than any GOP the encoders produce.
    static constexpr int64_t kAudioSlackHns = 100'000'000; // 10 s

    // Appends the packet (video for stream 0, audio otherwise) and trims.
    void push(PacketPtr packet);
    // Stores both limits and trims at once.
    void setLimits(int64_t maxHns, uint64_t maxBytes);
    // The packets of the last `windowHns`, starting at a video key frame:
    // video first, then audio, each in arrival order. Empty without video or
    // without any key frame.
    std::vector<PacketPtr> snapshot(int64_t windowHns) const;
    // The same selection, then empties the buffer, under one lock.
    std::vector<PacketPtr> snapshotAndClear(int64_t windowHns);
    void clear();

    // Newest minus oldest video pts; 0 when there is no video.
    int64_t durationHns() const;
    int64_t byteCount() const;

private:
    void trim();
    void trimAudioBound();
    void popVideoFront();
    void popAudioFront();
    std::vector<PacketPtr> select(int64_t windowHns) const;

    mutable std::mutex mutex_;
    RingQueue<PacketPtr> video_;
    RingQueue<PacketPtr> audio_;
    // Positions of the key frames in video_, counted from the first packet
    // ever pushed (videoPopped_ + index), oldest first; lets trim and
    // snapshot find GOP boundaries without scanning packets.
    RingQueue<uint64_t> keyPositions_;
    uint64_t videoPopped_ = 0;
    int64_t bytes_ = 0;
    int64_t maxHns_ = kDefaultMaxHns;
    uint64_t maxBytes_ = kDefaultMaxBytes;
};

} // namespace krel
