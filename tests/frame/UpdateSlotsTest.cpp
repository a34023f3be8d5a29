// Finding changed areas per quadrant and placing them into the four update slots.

#include "UpdateSlots.h"
#include "ChangeScan.h"

#include <gtest/gtest.h>

#include <vector>

namespace KEL {
namespace {

constexpr int kSide = 16; // half-size capacity 8 x 8, quarter-size 4 x 4

ChangeBox box(int minX, int minY, int maxX, int maxY) {
    ChangeBox b;
    b.used = true;
    b.minX = minX;
    b.minY = minY;
    b.maxX = maxX;
    b.maxY = maxY;
    return b;
}

// Slots and boxes alike: used, with these inclusive bounds.
template <typename Area> void expectBounds(const Area &a, int minX, int minY, int maxX, int maxY) {
    EXPECT_TRUE(a.used);
    EXPECT_EQ((std::vector<int>{a.minX, a.minY, a.maxX, a.maxY}),
              (std::vector<int>{minX, minY, maxX, maxY}));
}

void expectEmpty(const UpdateSlot &slot) {
    EXPECT_FALSE(slot.used);
    EXPECT_EQ((std::vector<int>{slot.minX, slot.minY, slot.maxX, slot.maxY}),
              (std::vector<int>{99999, 99999, -1, -1}));
}

class UpdateSlotsTest : public ::testing::Test {
  protected:
    void SetUp() override { slots.reset(kSide, kSide); }
    UpdateSlots slots;
};

TEST_F(UpdateSlotsTest, ResetEmptiesSlotsWithHalfAndQuarterCapacities) {
    ASSERT_TRUE(slots.place(box(0, 0, 1, 1)));
    slots.reset(32, 64);
    for (int i = 0; i < kUpdateSlotCount; ++i) {
        expectEmpty(slots[i]);
        EXPECT_EQ(slots[i].capacityWidth, i < 2 ? 16 : 8);
        EXPECT_EQ(slots[i].capacityHeight, i < 2 ? 32 : 16);
    }
    EXPECT_FALSE(slots.anyUsed());
}

// A blinking caret and typing next to it should keep using one small block.
TEST_F(UpdateSlotsTest, SmallChangeTakesQuarterSlotWhichGrowsWhileTheUnionFits) {
    ASSERT_TRUE(slots.place(box(1, 1, 1, 1)));
    expectBounds(slots[2], 1, 1, 1, 1);

    ASSERT_TRUE(slots.place(box(4, 2, 4, 3)));
    expectBounds(slots[2], 1, 1, 4, 3);
    EXPECT_FALSE(slots[3].used);

    // One column more would make the union 5 wide: the next free quarter slot takes it.
    ASSERT_TRUE(slots.place(box(5, 1, 5, 1)));
    expectBounds(slots[2], 1, 1, 4, 3);
    expectBounds(slots[3], 5, 1, 5, 1);
}

TEST_F(UpdateSlotsTest, ChangeInAnotherCornerTakesAnotherSlot) {
    ASSERT_TRUE(slots.place(box(0, 0, 0, 0)));
    ASSERT_TRUE(slots.place(box(15, 15, 15, 15)));
    expectBounds(slots[2], 0, 0, 0, 0);
    expectBounds(slots[3], 15, 15, 15, 15);
    // Both quarter slots are taken: a third corner goes to the first half-size slot.
    ASSERT_TRUE(slots.place(box(15, 0, 15, 0)));
    expectBounds(slots[0], 15, 0, 15, 0);
    EXPECT_FALSE(slots[1].used);
}

TEST_F(UpdateSlotsTest, UsedQuarterSlotIsGrownBeforeAUsedHalfSlot) {
    ASSERT_TRUE(slots.place(box(0, 0, 5, 5))); // too big for a quarter: slot 0
    ASSERT_TRUE(slots.place(box(8, 8, 8, 8))); // slot 2
    ASSERT_TRUE(slots.place(box(7, 7, 7, 7))); // fits the union with either
    expectBounds(slots[2], 7, 7, 8, 8);
    expectBounds(slots[0], 0, 0, 5, 5);
}

// Delivering the same pixels twice wastes the host's upload; a quarter block inside a half
// block is redundant.
TEST_F(UpdateSlotsTest, QuarterSlotsInsideAHalfSlotAreEmptied) {
    ASSERT_TRUE(slots.place(box(1, 1, 2, 2)));
    ASSERT_TRUE(slots.place(box(12, 12, 12, 12)));
    ASSERT_TRUE(slots.place(box(0, 0, 5, 5)));
    expectBounds(slots[0], 0, 0, 5, 5);
    expectEmpty(slots[2]);
    expectBounds(slots[3], 12, 12, 12, 12);
    EXPECT_EQ(slots[2].capacityWidth, 4); // emptying keeps the capacity
}

TEST_F(UpdateSlotsTest, BoxThatFitsNoSlotFailsAndChangesNothing) {
    EXPECT_FALSE(slots.place(box(0, 0, 8, 0))); // 9 wide: more than half the texture
    EXPECT_FALSE(slots.anyUsed());

    ASSERT_TRUE(slots.place(box(0, 0, 7, 7)));
    ASSERT_TRUE(slots.place(box(0, 8, 7, 15)));
    ASSERT_TRUE(slots.place(box(8, 0, 8, 0)));
    ASSERT_TRUE(slots.place(box(15, 15, 15, 15)));
    EXPECT_FALSE(slots.place(box(12, 4, 12, 4)));
    expectBounds(slots[2], 8, 0, 8, 0);
    expectBounds(slots[3], 15, 15, 15, 15);
}

// --- quadrant scan ---

struct Frames {
    Frames(int width, int height)
        : width(width), height(height), now(width * height * 4, 0), before(now) {}
    void change(int x, int y) { now[(y * width + x) * 4 + 1] ^= 0xFF; }
    QuadrantBoxes scan(int pageWidth) const {
        return scanChangedQuadrants(now.data(), before.data(), width, height, pageWidth);
    }
    int width, height;
    std::vector<uint8_t> now, before;
};

TEST(QuadrantScan, BoxesBoundChangedPixelsOfTheirQuadrantOnly) {
    Frames frames(16, 8);
    frames.change(5, 1);
    frames.change(2, 3);
    frames.change(3, 2);
    frames.change(9, 7);
    frames.change(15, 4);

    const QuadrantBoxes boxes = frames.scan(16);

    expectBounds(boxes[LeftBottom], 2, 1, 5, 3);
    EXPECT_FALSE(boxes[LeftTop].used);
    EXPECT_FALSE(boxes[RightBottom].used);
    expectBounds(boxes[RightTop], 9, 4, 15, 7);
}

TEST(QuadrantScan, MiddleColumnAndRowBelongToTheRightAndTopHalves) {
    Frames frames(16, 16);
    frames.change(7, 7);
    frames.change(8, 8);
    const QuadrantBoxes boxes = frames.scan(16);
    expectBounds(boxes[LeftBottom], 7, 7, 7, 7);
    expectBounds(boxes[RightTop], 8, 8, 8, 8);
    EXPECT_FALSE(boxes[LeftTop].used || boxes[RightBottom].used);
}

// Columns right of the page are never painted, so the scan must not look at them.
TEST(QuadrantScan, IgnoresColumnsRightOfThePage) {
    Frames frames(16, 16);
    frames.change(12, 3);
    EXPECT_FALSE(frames.scan(12)[RightBottom].used);
    EXPECT_TRUE(frames.scan(13)[RightBottom].used);
}

} // namespace
} // namespace KEL
