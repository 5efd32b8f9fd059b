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
// Pipeline generations: every restart of the capture pipeline (another game,
// a new size or codec) starts a new encoder stream, and packets of different
// streams cannot be decoded as one. Video packets are pushed with the
// generation of the pipeline that encoded them; a snapshot takes video of one
// generation only: the newest one holding a key frame.
//
// The on/off switch lives here, under the same lock as the queues, so that
// no packet pushed by a thread that saw the buffer on can land after the
// buffer was switched off and emptied.
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

    // Appends the packet (video for stream 0, audio otherwise) and trims,
    // while the buffer is on; `generation` names the pipeline that encoded a
    // video packet. Answers whether the packet was taken.
    bool push(PacketPtr packet, uint64_t generation = 0);
    // Switches buffering on or off; the contents stay.
    void setEnabled(bool on);
    // Switches buffering off and empties the buffer, under one lock.
    void disableAndClear();
    bool enabled() const;
    // Stores both limits and trims at once.
    void setLimits(int64_t maxHns, uint64_t maxBytes);
    // The packets of the last `windowHns`, starting at a video key frame:
    // video first, then audio, each in arrival order. Empty without video or
    // without any key frame. Video comes from one generation, the newest
    // that holds a key frame; when the window reaches back past that
    // generation's start, the snapshot starts at its first key frame.
    // `generation`, when given, receives the snapshot's generation.
    std::vector<PacketPtr> snapshot(int64_t windowHns, uint64_t* generation = nullptr) const;
    // The same selection, then empties the buffer, under one lock.
    std::vector<PacketPtr> snapshotAndClear(int64_t windowHns, uint64_t* generation = nullptr);
    void clear();
    // True while any video packet is buffered.
    bool holdsVideo() const;

    // Newest minus oldest video pts; 0 when there is no video.
    int64_t durationHns() const;
    int64_t byteCount() const;

private:
    void trim();
    void trimAudioBound();
    void popVideoFront();
    void popAudioFront();
    void clearLocked();
    std::vector<PacketPtr> select(int64_t windowHns, uint64_t* generation) const;

    // Where a generation's video begins: the position (counted like
    // keyPositions_) of its first packet.
    struct GenerationStart {
        uint64_t position = 0;
        uint64_t generation = 0;
    };

    mutable std::mutex mutex_;
    RingQueue<PacketPtr> video_;
    RingQueue<PacketPtr> audio_;
    // Positions of the key frames in video_, counted from the first packet
    // ever pushed (videoPopped_ + index), oldest first; lets trim and
    // snapshot find GOP boundaries without scanning packets.
    RingQueue<uint64_t> keyPositions_;
    // The generations in video_, oldest first; the first may have begun
    // before the front packet.
    RingQueue<GenerationStart> generations_;
    uint64_t videoPopped_ = 0;
    bool enabled_ = true;
    int64_t bytes_ = 0;
    int64_t maxHns_ = kDefaultMaxHns;
    uint64_t maxBytes_ = kDefaultMaxBytes;
};

} // namespace krel
