#include "core/replay_buffer.h"

namespace krel {

void ReplayBuffer::push(PacketPtr packet) {
    std::lock_guard lock(mutex_);
    bytes_ += static_cast<int64_t>(packet->data.size());
    if (packet->stream == kVideoStream) {
        if (packet->keyframe) keyPositions_.pushBack(videoPopped_ + video_.size());
        video_.pushBack(std::move(packet));
    } else {
        audio_.pushBack(std::move(packet));
    }
    trim();
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

std::vector<PacketPtr> ReplayBuffer::select(int64_t windowHns) const {
    std::vector<PacketPtr> out;
    if (video_.empty() || keyPositions_.empty()) return out;
    const int64_t target = video_.back()->pts - windowHns;
    // The latest key frame at or before the target, else the first one.
    uint64_t start = keyPositions_.front() - videoPopped_;
    for (size_t k = 0; k < keyPositions_.size(); ++k) {
        const uint64_t i = keyPositions_[k] - videoPopped_;
        if (video_[i]->pts <= target) start = i;
    }
    const int64_t startPts = video_[start]->pts;
    out.reserve(video_.size() - start + audio_.size());
    for (size_t i = start; i < video_.size(); ++i) out.push_back(video_[i]);
    for (size_t i = 0; i < audio_.size(); ++i)
        if (audio_[i]->pts >= startPts) out.push_back(audio_[i]);
    return out;
}

std::vector<PacketPtr> ReplayBuffer::snapshot(int64_t windowHns) const {
    std::lock_guard lock(mutex_);
    return select(windowHns);
}

std::vector<PacketPtr> ReplayBuffer::snapshotAndClear(int64_t windowHns) {
    std::lock_guard lock(mutex_);
    auto out = select(windowHns);
    while (!video_.empty()) popVideoFront();
    audio_.clear();
    bytes_ = 0;
    return out;
}

void ReplayBuffer::clear() {
    std::lock_guard lock(mutex_);
    while (!video_.empty()) popVideoFront();
    audio_.clear();
    bytes_ = 0;
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
