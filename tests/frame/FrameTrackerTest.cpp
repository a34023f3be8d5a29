// The per-view change tracking: when a frame waits, and whether it goes whole or in blocks.

#include "FrameTracker.h"
#include "FrameTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace KEL {
namespace {

using test::PageImage;
using test::rgba;

constexpr int kSide = 16; // half-size blocks 8 x 8, quarter-size 4 x 4

class FrameTrackerTest : public ::testing::Test {
  protected:
    FrameTrackerTest() : page(kSide, kSide) { tracker.resize(kSide, kSide, kSide, kSide); }

    // A delivery the host has taken; the segment's contents do not matter here.
    void deliver() { tracker.deliver(segment.target(), false); }
    void changeAt(int x, int y) { page.setAtTexture(x, y, kSide, rgba(x, y, 200)); }
    bool track() { return tracker.trackFrame(page.pixels()); }
    // Brings the tracker to a delivered whole first frame, empty slots and an idle count of 0.
    void settle() {
        const bool partial = tracker.partialUpdates();
        tracker.setPartialUpdates(false);
        page.set(0, 0, rgba(1, 1, 1));
        track();
        deliver();
        tracker.setPartialUpdates(partial);
        ASSERT_FALSE(tracker.updateSlots().anyUsed());
        ASSERT_EQ(tracker.idleCountdown(), 0);
    }

    FrameTracker tracker;
    PageImage page;
    test::FakeSegment segment;
};

TEST_F(FrameTrackerTest, UnchangedFrameLeavesNothingToDeliver) {
    EXPECT_FALSE(track()); // a blank page equals the zeroed last frame
    EXPECT_FALSE(tracker.dirty());
    EXPECT_FALSE(tracker.updateSlots().anyUsed());
}

TEST_F(FrameTrackerTest, SmallChangeWaitsAsAQuarterBlockAndBecomesTheLastFrame) {
    settle();
    changeAt(13, 2);

    EXPECT_TRUE(track());

    EXPECT_TRUE(tracker.dirty());
    EXPECT_FALSE(tracker.fullFramePending());
    EXPECT_TRUE(tracker.updateSlots()[2].used);
    EXPECT_EQ(tracker.updateSlots()[2].minX, 13);
    EXPECT_EQ(tracker.updateSlots()[2].minY, 2);
    const std::vector<uint8_t> expected = test::expectedTexture(page, kSide, kSide);
    EXPECT_EQ(std::vector<uint8_t>(tracker.lastFrame(), tracker.lastFrame() + tracker.frameBytes()),
              expected);
    // The same page again is no change, also while the delivery still waits.
    EXPECT_FALSE(track());
    EXPECT_EQ(std::vector<uint8_t>(tracker.lastFrame(), tracker.lastFrame() + tracker.frameBytes()),
              expected);
}

// Three quadrants changing in full cannot all be placed: the frame goes whole.
TEST_F(FrameTrackerTest, ChangeThatNoSlotCanHoldMakesTheNextDeliveryWhole) {
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            changeAt(x, y);
    track();
    EXPECT_TRUE(tracker.dirty());
    EXPECT_TRUE(tracker.fullFramePending());
}

TEST_F(FrameTrackerTest, WithPartialUpdatesOffEveryChangeGoesWhole) {
    tracker.setPartialUpdates(false);
    settle();
    changeAt(1, 1);
    track();
    EXPECT_TRUE(tracker.fullFramePending());
    EXPECT_FALSE(tracker.updateSlots().anyUsed());
}

TEST_F(FrameTrackerTest, ChangesWhileAWholeFrameWaitsAreNotPlacedButStillKept) {
    tracker.setPartialUpdates(false);
    changeAt(1, 1);
    track();
    tracker.setPartialUpdates(true);
    changeAt(2, 2);
    EXPECT_TRUE(track());
    EXPECT_TRUE(tracker.fullFramePending());
    EXPECT_FALSE(tracker.updateSlots().anyUsed());
    EXPECT_EQ(tracker.lastFrame()[(2 * kSide + 2) * 4 + 2], 200);
}

// The unchanged frames in a row that make one idle cycle: the first starts it, kIdleFrames more
// end it.
constexpr int kIdleCycle = FrameTracker::kIdleFrames + 1;

// Blocks grow as a page keeps changing; after a quiet moment one whole frame lets them start
// small again.
TEST_F(FrameTrackerTest, AnIdleCycleOfUnchangedFramesTurnsUsedSlotsIntoOneWholeFrame) {
    settle();
    changeAt(3, 3);
    track();
    deliver();
    ASSERT_TRUE(tracker.updateSlots().anyUsed()); // rectangle deliveries keep the slots

    for (int frame = 1; frame < kIdleCycle; ++frame) {
        track();
        EXPECT_FALSE(tracker.dirty()) << frame;
    }
    track();

    EXPECT_TRUE(tracker.dirty());
    EXPECT_TRUE(tracker.fullFramePending());
    EXPECT_FALSE(tracker.updateSlots().anyUsed());
}

// Guards the painting shortcut: a skipped paint must advance the idle cycle exactly as an
// unchanged painted frame does, and must not disturb a delivery that waits.
TEST_F(FrameTrackerTest, SkippedPaintsCountLikeUnchangedFrames) {
    settle();
    changeAt(3, 3);
    track();
    tracker.trackUnchangedFrame(); // a frame waits: nothing moves
    EXPECT_TRUE(tracker.dirty());
    EXPECT_FALSE(tracker.fullFramePending());
    deliver();

    for (int frame = 1; frame < kIdleCycle; ++frame) {
        frame % 2 ? tracker.trackUnchangedFrame() : (void)track();
        EXPECT_FALSE(tracker.dirty()) << frame;
    }
    tracker.trackUnchangedFrame();
    EXPECT_TRUE(tracker.fullFramePending());
    EXPECT_FALSE(tracker.updateSlots().anyUsed());
}

TEST_F(FrameTrackerTest, IdleCycleWithEmptySlotsDeliversNothingAndChangesDoNotRestartIt) {
    settle();
    for (int frame = 0; frame < kIdleCycle; ++frame)
        track();
    EXPECT_FALSE(tracker.dirty());

    track(); // starts a new cycle
    track();
    changeAt(5, 5);
    track();
    deliver();
    ASSERT_TRUE(tracker.updateSlots().anyUsed());
    // Two frames of the cycle have gone by; the change did not start it again.
    for (int frame = 2; frame < kIdleCycle - 1; ++frame) {
        track();
        EXPECT_FALSE(tracker.dirty()) << frame;
    }
    track();
    EXPECT_TRUE(tracker.fullFramePending());
}

TEST_F(FrameTrackerTest, ResizeZeroesTheFramesEmptiesSlotsAndReportsANewTextureSize) {
    settle();
    changeAt(3, 3);
    track();

    EXPECT_FALSE(tracker.resize(10, 12, kSide, kSide));
    EXPECT_FALSE(tracker.updateSlots().anyUsed());
    EXPECT_EQ(std::vector<uint8_t>(tracker.lastFrame(), tracker.lastFrame() + tracker.frameBytes()),
              std::vector<uint8_t>(kSide * kSide * 4, 0));

    EXPECT_TRUE(tracker.resize(20, 12, 32, kSide));
    EXPECT_EQ(tracker.frameBytes(), 32u * kSide * 4);
    EXPECT_EQ(tracker.updateSlots()[0].capacityWidth, 16);
    EXPECT_EQ(tracker.updateSlots()[3].capacityHeight, 4);
}

// Guards the one-pass tracking: over a run of random small and large changes on a page lower
// and narrower than its texture, the last frame is always exactly the converted page, and
// every pixel that changed since the last whole delivery lies inside a used slot unless a
// whole frame waits.
TEST(FrameTrackerRun, LastFrameIsThePageAndSlotsCoverEveryChange) {
    constexpr int kTexture = 64, kWidth = 50, kHeight = 40;
    std::mt19937 random(5);
    PageImage page(kWidth, kHeight, 8);
    FrameTracker tracker;
    tracker.resize(kWidth, kHeight, kTexture, kTexture);
    std::vector<uint8_t> delivered(kTexture * kTexture * 4, 0);
    test::FakeSegment segment;
    for (int frame = 0; frame < 200; ++frame) {
        const int side = frame % 7 == 0 ? 30 : 3;
        const int x0 = int(random() % (kWidth - side)), y0 = int(random() % (kHeight - side));
        if (frame % 5 != 4) // some frames stay unchanged
            for (int y = y0; y < y0 + side; ++y)
                for (int x = x0; x < x0 + side; ++x)
                    page.set(x, y, rgba(uint8_t(random()), uint8_t(frame), 7));
        tracker.trackFrame(page.pixels());

        const std::vector<uint8_t> expected = test::expectedTexture(page, kTexture, kTexture);
        ASSERT_EQ(
            std::vector<uint8_t>(tracker.lastFrame(), tracker.lastFrame() + tracker.frameBytes()),
            expected)
            << "frame " << frame;
        if (tracker.dirty() && !tracker.fullFramePending()) {
            for (int y = 0; y < kTexture; ++y)
                for (int x = 0; x < kTexture; ++x) {
                    const std::size_t at = (std::size_t(y) * kTexture + x) * 4;
                    if (std::memcmp(&expected[at], &delivered[at], 4) == 0)
                        continue;
                    bool covered = false;
                    for (int k = 0; k < 4; ++k) {
                        const UpdateSlot &slot = tracker.updateSlots()[k];
                        covered = covered || (slot.used && x >= slot.minX && x <= slot.maxX &&
                                              y >= slot.minY && y <= slot.maxY);
                    }
                    ASSERT_TRUE(covered) << "frame " << frame << " pixel " << x << ", " << y;
                }
        }
        if (tracker.dirty() && frame % 3 != 0) { // the host takes most deliveries at once
            if (tracker.fullFramePending())
                delivered = expected;
            tracker.deliver(segment.target(), false);
        }
    }
}

// Guards the painted-rows shortcut: only the rows named are compared, and a change there is
// found and placed as by a whole comparison.
TEST_F(FrameTrackerTest, OnlyTheNamedRowsAreCompared) {
    settle();
    page.set(5, 12, rgba(9, 9, 9)); // page row 12
    EXPECT_FALSE(tracker.trackFrameRows(page.pixels(), 0, 12));
    EXPECT_FALSE(tracker.trackFrameRows(page.pixels(), 13, 99));
    EXPECT_FALSE(tracker.dirty());

    EXPECT_TRUE(tracker.trackFrameRows(page.pixels(), 10, 14));
    EXPECT_TRUE(tracker.dirty());
    EXPECT_TRUE(tracker.updateSlots()[2].used);
    EXPECT_EQ(tracker.updateSlots()[2].minY, kSide - 1 - 12);
    EXPECT_EQ(std::vector<uint8_t>(tracker.lastFrame(), tracker.lastFrame() + tracker.frameBytes()),
              test::expectedTexture(page, kSide, kSide));
}

// A page image smaller than the sized page would leave stale pixels in the frame.
TEST_F(FrameTrackerTest, PageSmallerThanTheSizedPageIsRefused) {
    PageImage small(kSide - 1, kSide);
    small.set(0, 0, rgba(9, 9, 9));
    EXPECT_FALSE(tracker.trackFrame(small.pixels()));
    EXPECT_FALSE(tracker.dirty());
}

} // namespace
} // namespace KEL
