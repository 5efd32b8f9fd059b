#include "media/sample_queue.h"

#include <algorithm>
#include <cstring>

namespace krel {

void SampleQueue::append(const float* data, size_t frameCount, int64_t now) {
    if (frameCount == 0) return;
    lastData = now;
    if (ring_.empty()) ring_.resize(kMaxQueueFloats);
    // Of a packet longer than the ring only its newest part can stay.
    if (frameCount >= kMaxQueueFrames) {
        if (data != nullptr) data += 2 * (frameCount - kMaxQueueFrames);
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
        head_ = (head_ + count_ - kMaxQueueFrames) % kMaxQueueFrames;
        count_ = kMaxQueueFrames;
    }
}

bool SampleQueue::pop(float& l, float& r) {
    if (count_ == 0) {
        l = r = 0.0f;
        return false;
    }
    l = ring_[2 * head_];
    r = ring_[2 * head_ + 1];
    head_ = head_ + 1 == kMaxQueueFrames ? 0 : head_ + 1;
    --count_;
    return true;
}

void SampleQueue::dropFrame() {
    float l, r;
    pop(l, r);
}

void SampleQueue::clear() {
    head_ = 0;
    count_ = 0;
}

float SampleQueue::sample(size_t i) const {
    return ring_[(2 * head_ + i) % kMaxQueueFloats];
}

} // namespace krel
