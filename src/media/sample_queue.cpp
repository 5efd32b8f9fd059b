#include "media/sample_queue.h"

namespace krel {

void SampleQueue::append(const float* data, size_t frameCount, int64_t now) {
    const size_t count = frameCount * 2;
    if (data != nullptr) {
        samples.insert(samples.end(), data, data + count);
    } else {
        samples.insert(samples.end(), count, 0.0f);
    }
    if (frameCount > 0) lastData = now;
    // Drop whole frames from the front so that left and right stay paired.
    if (samples.size() > kMaxQueueFloats) {
        size_t excess = samples.size() - kMaxQueueFloats;
        excess += excess % 2;
        samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(excess));
    }
}

void SampleQueue::clear() {
    samples.clear();
}

} // namespace krel
