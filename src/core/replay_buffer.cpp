#include "core/replay_buffer.h"

namespace krel {

bool ReplayBuffer::push(PacketPtr packet, uint64_t generation) {
    std::lock_guard lock(mutex_);
    if (!enabled_) return false;
    bytes_ += static_cast<int64_t>(packet->data.size());
    if (packet->stream == kVideoStream) {
        const uint64_t position = videoPopped_ + video_.size();
        if (generations_.empty() || generations_.back().generation != generation)
            generations_.pushBack({position, generation});
        if (packet->keyframe) keyPositions_.pushBack(position);
        video_.pushBack(std::move(packet));
    } else {
        audio_.pushBack(std::move(packet));
    }
    trim();
    return true;
}

void ReplayBuffer::setEnabled(bool on) {
    std::lock_guard lock(mutex_);
    enabled_ = on;
}

void ReplayBuffer::disableAndClear() {
    std::lock_guard lock(mutex_);
    enabled_ = false;
    clearLocked();
}

bool ReplayBuffer::enabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void ReplayBuffer::setLimits(int64_t maxHns, uint64_t maxBytes) {
    std::lock_guard lock(mutex_);
    maxHns_ = maxHns;
    maxBytes_ = maxBytes;
    trim();
}

void ReplayBuffer::popVideoFront() {
    if (!keyPositions_.empty() && keyPositions_.front() == videoPopped_) keyPositions_.popFront();
    bytes_ -= static_cast<int64_t>(video_.popFront()->data.size());
    ++videoPopped_;
    while (generations_.size() > 1 && generations_[1].position <= videoPopped_) generations_.popFront();
    if (video_.empty()) generations_.clear();
}

void ReplayBuffer::popAudioFront() { bytes_ -= static_cast<int64_t>(audio_.popFront()->data.size()); }

void ReplayBuffer::trim() {
    if (!video_.empty()) {
        const int64_t newest = video_.back()->pts;
        while (video_.size() > 1) {
            // j: the first key frame after the front packet.
            size_t k = 0;
            if (k < keyPositions_.size() && keyPositions_[k] == videoPopped_) ++k;
            if (k == keyPositions_.size()) break; // the last GOP is never dropped
            const uint64_t j = keyPositions_[k] - videoPopped_;
            if (newest - video_[j]->pts < maxHns_ && static_cast<uint64_t>(bytes_) <= maxBytes_) break;
            for (uint64_t i = 0; i < j; ++i) popVideoFront();
        }
        const int64_t oldest = video_.front()->pts;
        while (!audio_.empty() && audio_.front()->pts + audio_.front()->duration < oldest) popAudioFront();
    }
    trimAudioBound();
}

void ReplayBuffer::trimAudioBound() {
    if (audio_.empty()) return;
    const int64_t limit = audio_.back()->pts - maxHns_ - kAudioSlackHns;
    while (!audio_.empty() && audio_.front()->pts + audio_.front()->duration < limit) popAudioFront();
}

std::vector<PacketPtr> ReplayBuffer::select(int64_t windowHns, uint64_t* generation) const {
    std::vector<PacketPtr> out;
    if (video_.empty() || keyPositions_.empty()) return out;
    // The newest generation with a key frame, as positions [first, end).
    const uint64_t videoEnd = videoPopped_ + video_.size();
    uint64_t first = 0, end = videoEnd;
    size_t run = generations_.size();
    size_t firstKey = keyPositions_.size();
    while (run-- > 0) {
        first = generations_[run].position;
        end = run + 1 < generations_.size() ? generations_[run + 1].position : videoEnd;
        size_t k = keyPositions_.size();
        while (k > 0 && keyPositions_[k - 1] >= first) --k;
        if (k < keyPositions_.size() && keyPositions_[k] < end) {
            firstKey = k;
            break;
        }
    }
    if (firstKey == keyPositions_.size()) return out;

    const uint64_t last = end - 1 - videoPopped_;
    const int64_t target = video_[last]->pts - windowHns;
    // The latest key frame of the generation at or before the target, else
    // its first one.
    uint64_t start = keyPositions_[firstKey] - videoPopped_;
    for (size_t k = firstKey; k < keyPositions_.size() && keyPositions_[k] < end; ++k) {
        const uint64_t i = keyPositions_[k] - videoPopped_;
        if (video_[i]->pts <= target) start = i;
    }
    const int64_t startPts = video_[start]->pts;
    out.reserve(last + 1 - start + audio_.size());
    for (uint64_t i = start; i <= last; ++i) out.push_back(video_[i]);
    for (size_t i = 0; i < audio_.size(); ++i)
        if (audio_[i]->pts >= startPts) out.push_back(audio_[i]);
    if (generation) *generation = generations_[run].generation;
    return out;
}

std::vector<PacketPtr> ReplayBuffer::snapshot(int64_t windowHns, uint64_t* generation) const {
    std::lock_guard lock(mutex_);
    return select(windowHns, generation);
}

std::vector<PacketPtr> ReplayBuffer::snapshotAndClear(int64_t windowHns, uint64_t* generation) {
    std::lock_guard lock(mutex_);
    auto out = select(windowHns, generation);
    clearLocked();
    return out;
}

void ReplayBuffer::clear() {
    std::lock_guard lock(mutex_);
    clearLocked();
}

void ReplayBuffer::clearLocked() {
    while (!video_.empty()) popVideoFront();
    audio_.clear();
    bytes_ = 0;
}

bool ReplayBuffer::holdsVideo() const {
    std::lock_guard lock(mutex_);
    return !video_.empty();
}

int64_t ReplayBuffer::durationHns() const {
    std::lock_guard lock(mutex_);
    return video_.empty() ? 0 : video_.back()->pts - video_.front()->pts;
}

int64_t ReplayBuffer::byteCount() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

} // namespace krel
