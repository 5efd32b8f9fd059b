#include "media/sample_queue.h"

#include "media/audio_format.h"

#include <algorithm>
#include <cstring>

namespace krel {

void SampleQueue::append(const float* data, size_t frameCount, int64_t now) {
    if (frameCount == 0) return;
    lastData = now;
    estimateOrigin(frameCount, now);
    if (ring_.empty()) ring_.resize(kMaxQueueFloats);
    // Of a packet longer than the ring only its newest part can stay.
    if (frameCount >= kMaxQueueFrames) {
        const size_t skipped = frameCount - kMaxQueueFrames;
        if (data != nullptr) data += 2 * skipped;
        removed(count_ + skipped);
        frameCount = kMaxQueueFrames;
        head_ = 0;
        count_ = 0;
    }
    size_t tail = (head_ + count_) % kMaxQueueFrames;
    size_t left = frameCount;
    while (left > 0) {
        const size_t run = std::min(left, kMaxQueueFrames - tail);
        float* out = ring_.data() + 2 * tail;
        if (data != nullptr) {
            std::memcpy(out, data, run * 2 * sizeof(float));
            data += 2 * run;
        } else {
            std::fill_n(out, 2 * run, 0.0f);
        }
        tail = (tail + run) % kMaxQueueFrames;
        left -= run;
    }
    count_ += frameCount;
    if (count_ > kMaxQueueFrames) {
        // The oldest frames were overwritten.
        removed(count_ - kMaxQueueFrames);
        head_ = (head_ + count_ - kMaxQueueFrames) % kMaxQueueFrames;
        count_ = kMaxQueueFrames;
    }
}

void SampleQueue::estimateOrigin(size_t frameCount, int64_t now) {
    appended_ += static_cast<int64_t>(frameCount);
    const int64_t bound = now - framesToHns(appended_);
    if (!timed_ || bound > origin_ + kOriginGapHns) {
        // First packet, or the source paused: its frames go on from here.
        timed_ = true;
        origin_ = bound;
        windowMin_ = bound;
        windowStart_ = now;
        return;
    }
    origin_ = std::min(origin_, bound);
    windowMin_ = std::min(windowMin_, bound);
    if (now - windowStart_ >= kOriginWindowHns) {
        origin_ = windowMin_;
        windowMin_ = bound;
        windowStart_ = now;
    }
}

int64_t SampleQueue::frontHns() const {
    return origin_ + framesToHns(consumed_) - framesToHns(static_cast<int64_t>(lead_));
}

void SampleQueue::padFront(size_t frames) {
    lead_ = std::min(lead_ + frames, kMaxQueueFrames);
}

void SampleQueue::dropFront(size_t frames) {
    const size_t silence = std::min(frames, lead_);
    lead_ -= silence;
    const size_t data = std::min(frames - silence, count_);
    head_ = (head_ + data) % kMaxQueueFrames;
    count_ -= data;
    removed(data);
}

bool SampleQueue::pop(float& l, float& r) {
    if (lead_ > 0) {
        l = r = 0.0f;
        --lead_;
        return true;
    }
    if (count_ == 0) {
        l = r = 0.0f;
        return false;
    }
    l = ring_[2 * head_];
    r = ring_[2 * head_ + 1];
    head_ = head_ + 1 == kMaxQueueFrames ? 0 : head_ + 1;
    --count_;
    removed(1);
    return true;
}

void SampleQueue::dropFrame() {
    float l, r;
    pop(l, r);
}

void SampleQueue::clear() {
    head_ = 0;
    count_ = 0;
    lead_ = 0;
    lastData = 0;
    timed_ = false;
    appended_ = 0;
    consumed_ = 0;
}

float SampleQueue::sample(size_t i) const {
    if (i < 2 * lead_) return 0.0f;
    i -= 2 * lead_;
    return ring_[(2 * head_ + i) % kMaxQueueFloats];
}

} // namespace krel
