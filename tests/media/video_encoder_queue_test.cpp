// The slot pool and the waiting queue on their own: the edge cases of
// dropping, remembering a request for input, and ordering.

#include "media/encoder_queue.h"

#include <gtest/gtest.h>

#include <thread>

namespace krel {
namespace {

TEST(EncoderQueue, FullPoolCountsEveryRefusal) {
    EncoderQueue q;
    for (uint32_t i = 0; i < EncoderQueue::kSlots; ++i) EXPECT_EQ(q.acquireSlot(), i);
    EXPECT_FALSE(q.acquireSlot().has_value());
    EXPECT_FALSE(q.acquireSlot().has_value());
    EXPECT_EQ(q.dropped(), 2u);
    q.releaseSlot(5);
    EXPECT_EQ(q.acquireSlot(), 5u);
    q.releaseSlot(99); // not a slot: nothing happens
    EXPECT_FALSE(q.acquireSlot().has_value());
}

TEST(EncoderQueue, FourthWaitingFrameDropsTheOldest) {
    EncoderQueue q;
    for (int i = 0; i < 4; ++i) {
        const auto slot = q.acquireSlot();
        ASSERT_TRUE(slot);
        q.submit(*slot, 100 + i);
    }
    EXPECT_EQ(q.pendingCount(), 3u);
    EXPECT_EQ(q.dropped(), 1u);
    EXPECT_FALSE(q.busy(0)); // the oldest frame's slot is free again
    EXPECT_TRUE(q.busy(1));
    // The encoder then gets the three newest, oldest first.
    std::vector<int64_t> got;
    for (int i = 0; i < 3; ++i) got.push_back(q.waitForInput()->pts);
    EXPECT_EQ(got, (std::vector<int64_t>{101, 102, 103}));
    EXPECT_EQ(q.needInput(), 0);
}

TEST(EncoderQueue, RequestWithEmptyQueueIsServedByNextSubmit) {
    EncoderQueue q;
    std::optional<EncoderQueue::Entry> taken;
    std::thread encoder([&] { taken = q.waitForInput(); });
    while (q.needInput() == 0) std::this_thread::yield();
    q.submit(*q.acquireSlot(), 42);
    encoder.join();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->pts, 42);
    EXPECT_EQ(q.pendingCount(), 0u);
    EXPECT_EQ(q.needInput(), 0);
    EXPECT_EQ(q.dropped(), 0u);
}

TEST(EncoderQueue, StopWakesTheEncoderAndClearFreesWaitingSlots) {
    EncoderQueue q;
    std::optional<EncoderQueue::Entry> taken{EncoderQueue::Entry{}};
    std::thread encoder([&] { taken = q.waitForInput(); });
    while (q.needInput() == 0) std::this_thread::yield();
    q.stop();
    encoder.join();
    EXPECT_FALSE(taken.has_value());
    EXPECT_FALSE(q.waitForInput().has_value()); // stays stopped
    const auto slot = q.acquireSlot();
    q.submit(*slot, 1);
    EXPECT_TRUE(q.busy(*slot));
    q.clear();
    EXPECT_FALSE(q.busy(*slot));
    EXPECT_EQ(q.pendingCount(), 0u);
}

TEST(EncoderQueue, KeyFrameRequestMarksOnlyTheNextHandedFrame) {
    EncoderQueue q;
    for (int i = 0; i < 3; ++i) q.submit(*q.acquireSlot(), i);
    q.requestKeyFrame();
    q.requestKeyFrame();
    std::vector<bool> keys;
    for (int i = 0; i < 3; ++i) keys.push_back(q.waitForInput()->keyFrame);
    EXPECT_EQ(keys, (std::vector<bool>{true, false, false}));
}

TEST(EncoderQueue, SubmitOfInvalidSlotIsIgnored) {
    EncoderQueue q;
    q.submit(EncoderQueue::kSlots, 5);
    EXPECT_EQ(q.pendingCount(), 0u);
    EXPECT_EQ(q.dropped(), 0u);
}

} // namespace
} // namespace krel
