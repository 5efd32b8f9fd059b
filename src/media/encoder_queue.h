#pragma once
// The input side of a video encoder: a pool of exactly 8 frame slots and the
// queue of finished frames waiting for the encoder.
//
// Threads: the engine's pacing thread calls acquireSlot, releaseSlot and
// submit; the encoder's own thread calls waitForInput and releaseSlot (when
// the encoder has let go of a frame); any thread reads dropped(). Slot flags
// are atomics; the queue, the count of unanswered input requests and the hand
// over of the next frame are guarded by one mutex, so frames reach the
// encoder strictly in submission order. Nothing here allocates after
// construction.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace krel {

class EncoderQueue {
public:
    static constexpr uint32_t kSlots = 8;
    static constexpr uint32_t kMaxPending = 3;

    struct Entry {
        uint32_t slot = 0;
        int64_t pts = 0;       // 100-ns units
        bool keyFrame = false; // forced key frame, decided when the frame is handed over
    };

    // The first free slot (0..7), marked busy; none when all are busy, which
    // counts as a dropped frame.
    std::optional<uint32_t> acquireSlot();
    // Marks a slot free again.
    void releaseSlot(uint32_t slot);
    bool busy(uint32_t slot) const;

    // Appends a finished frame. Beyond 3 waiting frames the oldest is dropped
    // (its slot freed, counted). When the encoder has an unanswered request
    // for input, the oldest frame is handed to it at once.
    void submit(uint32_t slot, int64_t pts);

    // Called by the encoder thread when it can take one frame: counts the
    // request, then blocks until a frame is handed over or stop() is called
    // (then none). A request made while the queue is empty stays counted and
    // is served by the next submit.
    std::optional<Entry> waitForInput();
    // Wakes waitForInput for good. Frames still waiting keep their slots
    // until clear().
    void stop();
    // Frees the slots of all waiting frames and empties the queue.
    void clear();

    // The next frame handed to the encoder is marked as a forced key frame
    // (once, however often this is called before).
    void requestKeyFrame() { keyFrame_.store(true); }

    uint64_t dropped() const { return dropped_.load(); }
    void addDropped() { dropped_.fetch_add(1); }
    // Frames not yet taken by the encoder thread (waiting or handed over).
    size_t pendingCount() const;
    int32_t needInput() const;

private:
    // Caller holds lock_.
    void feedLocked();
    void popLocked(Entry& out);

    std::array<std::atomic<bool>, kSlots> busy_{};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> keyFrame_{false};

    mutable std::mutex lock_;
    std::condition_variable handed_;
    std::array<Entry, kMaxPending + 1> ring_{}; // pending frames, oldest at head_
    size_t head_ = 0;
    size_t count_ = 0;
    int32_t needInput_ = 0;
    std::optional<Entry> mailbox_; // frame handed to the encoder thread, not yet taken
    bool stopped_ = false;
};

} // namespace krel
