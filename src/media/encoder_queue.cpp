#include "media/encoder_queue.h"

namespace krel {

std::optional<uint32_t> EncoderQueue::acquireSlot() {
    for (uint32_t i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (busy_[i].compare_exchange_strong(expected, true)) return i;
    }
    dropped_.fetch_add(1);
    return std::nullopt;
}

void EncoderQueue::releaseSlot(uint32_t slot) {
    if (slot < kSlots) busy_[slot].store(false);
}

bool EncoderQueue::busy(uint32_t slot) const { return slot < kSlots && busy_[slot].load(); }

void EncoderQueue::popLocked(Entry& out) {
    out = ring_[head_];
    head_ = (head_ + 1) % ring_.size();
    --count_;
}

void EncoderQueue::submit(uint32_t slot, int64_t pts) {
    if (slot >= kSlots) return;
    std::lock_guard lock(lock_);
    ring_[(head_ + count_) % ring_.size()] = {slot, pts};
    ++count_;
    while (count_ > kMaxPending) {
        Entry oldest;
        popLocked(oldest);
        busy_[oldest.slot].store(false);
        dropped_.fetch_add(1);
    }
    feedLocked();
}

void EncoderQueue::feedLocked() {
    if (count_ == 0 || needInput_ < 1 || mailbox_) return;
    Entry e;
    popLocked(e);
    --needInput_;
    e.keyFrame = keyFrame_.exchange(false);
    mailbox_ = e;
    handed_.notify_one();
}

std::optional<EncoderQueue::Entry> EncoderQueue::waitForInput() {
    std::unique_lock lock(lock_);
    if (stopped_) return std::nullopt;
    ++needInput_;
    feedLocked();
    handed_.wait(lock, [this] { return mailbox_.has_value() || stopped_; });
    if (stopped_) return std::nullopt;
    const Entry e = *mailbox_;
    mailbox_.reset();
    return e;
}

void EncoderQueue::stop() {
    std::lock_guard lock(lock_);
    stopped_ = true;
    handed_.notify_all();
}

void EncoderQueue::clear() {
    std::lock_guard lock(lock_);
    while (count_ > 0) {
        Entry e;
        popLocked(e);
        busy_[e.slot].store(false);
    }
    if (mailbox_) {
        busy_[mailbox_->slot].store(false);
        mailbox_.reset();
    }
}

size_t EncoderQueue::pendingCount() const {
    std::lock_guard lock(lock_);
    return count_ + (mailbox_ ? 1 : 0);
}

int32_t EncoderQueue::needInput() const {
    std::lock_guard lock(lock_);
    return needInput_;
}

} // namespace krel
