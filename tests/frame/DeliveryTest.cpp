// Writing frames into the texture segment, and what a host rebuilds from them.

#include "FrameTestSupport.h"
#include "FrameTracker.h"

#include <gtest/gtest.h>

#include <cstring>

namespace KEL {
namespace {

using test::PageImage;
using test::rgba;

constexpr int kSide = 16; // half-size blocks 8 x 8, quarter-size 4 x 4

std::vector<uint8_t> bytesAt(const uint8_t *bits, std::size_t count) {
    return std::vector<uint8_t>(bits, bits + count);
}

// valid, group, index, x, y, width, height
std::vector<int> fieldsOf(const TextureRect &rect) {
    return {rect.valid, rect.group, rect.index, rect.x, rect.y, rect.width, rect.height};
}

bool isZero(const TextureRect &rect) {
    static const TextureRect zero{};
    return std::memcmp(&rect, &zero, sizeof rect) == 0;
}

class DeliveryTest : public ::testing::Test {
  protected:
    DeliveryTest() : page(kSide, kSide) {
        tracker.resize(kSide, kSide, kSide, kSide);
        std::mt19937 random(11);
        page.fillRandom(random);
    }

    // The first frame goes whole, so the slots start empty.
    void deliverFirstFrameWhole() {
        tracker.setPartialUpdates(false);
        tracker.trackFrame(page.pixels());
        tracker.deliver(segment.target(), false);
        tracker.setPartialUpdates(true);
    }

    // A one-pixel change bottom left (quarter slot 2) and a 6 x 6 change at the top right that
    // a half-size block starting at (10, 10) must cover, reaching 2 pixels past the top and
    // right edges.
    void changeTwoCorners() {
        page.setAtTexture(1, 1, kSide, rgba(1, 2, 3));
        for (int y = 10; y < kSide; ++y)
            for (int x = 10; x < kSide; ++x)
                page.setAtTexture(x, y, kSide, rgba(x, y, 0x40, 0x7F));
        ASSERT_TRUE(tracker.trackFrame(page.pixels()));
        ASSERT_FALSE(tracker.fullFramePending());
    }

    const uint8_t *framePixel(int x, int y) const {
        return tracker.lastFrame() + (y * kSide + x) * 4;
    }
    const uint8_t *blockPixel(int area, int width, int j, int i) const {
        return segment.rectArea(area) + (i * width + j) * 4;
    }

    FrameTracker tracker;
    PageImage page;
    test::FakeSegment segment;
};

TEST_F(DeliveryTest, WholeFrameFillsTheFullAreaAndEmptiesTheSlots) {
    page.setAtTexture(1, 1, kSide, rgba(1, 2, 3)); // would take a slot if placed
    tracker.setPartialUpdates(false);
    tracker.trackFrame(page.pixels());

    tracker.deliver(segment.target(), false);

    const TextureHeader &header = segment.header();
    EXPECT_EQ(header.pending, 1);
    EXPECT_EQ(header.full, 1);
    EXPECT_EQ(header.width, 16u);
    EXPECT_EQ(header.height, 16u);
    for (const TextureRect &rect : header.rects)
        EXPECT_TRUE(isZero(rect));
    EXPECT_EQ(bytesAt(segment.fullArea(), tracker.frameBytes()),
              test::expectedTexture(page, kSide, kSide));
    EXPECT_FALSE(tracker.updateSlots().anyUsed());
    EXPECT_FALSE(tracker.dirty());
    EXPECT_FALSE(tracker.fullFramePending());
}

TEST_F(DeliveryTest, RectanglesAreDescribedHalfSizeFirstWithoutGapsAndSlotsStay) {
    deliverFirstFrameWhole();
    changeTwoCorners();

    tracker.deliver(segment.target(), false);

    const TextureHeader &header = segment.header();
    EXPECT_EQ(header.pending, 1);
    EXPECT_EQ(header.full, 0);
    // 16 - 10 - 8: the half-size block passes the top edge.
    EXPECT_EQ(fieldsOf(header.rects[0]), (std::vector<int>{1, 0, 0, 10, -2, 8, 8}));
    EXPECT_EQ(fieldsOf(header.rects[1]), (std::vector<int>{1, 1, 0, 1, 11, 4, 4}));
    EXPECT_TRUE(isZero(header.rects[2]) && isZero(header.rects[3]));

    EXPECT_TRUE(tracker.updateSlots()[0].used && tracker.updateSlots()[2].used);
    EXPECT_FALSE(tracker.dirty());
}

// The host pastes whole blocks and clips them itself; what lies past the edge must be inert,
// and nothing past the block's own size may be touched.
TEST_F(DeliveryTest, BlockHoldsFramePixelsAndZeroPastTheTextureEdges) {
    deliverFirstFrameWhole();
    changeTwoCorners();

    tracker.deliver(segment.target(), false);

    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            const std::vector<uint8_t> expected = (i < 6 && j < 6)
                                                      ? bytesAt(framePixel(10 + j, 10 + i), 4)
                                                      : std::vector<uint8_t>(4, 0x00);
            EXPECT_EQ(bytesAt(blockPixel(0, 8, j, i), 4), expected) << j << "," << i;
        }
    EXPECT_EQ(segment.rectArea(0)[8 * 8 * 4], 0xEE);
    EXPECT_EQ(bytesAt(blockPixel(2, 4, 3, 2), 4), bytesAt(framePixel(4, 3), 4));
}

TEST_F(DeliveryTest, DebugModeOutlinesBlocksTintsTheirInsideAndPadsWith0x80) {
    deliverFirstFrameWhole();
    changeTwoCorners();

    tracker.deliver(segment.target(), true);

    const std::vector<uint8_t> red{0xFF, 0x00, 0x00, 0xFF}, green{0x00, 0xFF, 0x00, 0xFF};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            std::vector<uint8_t> expected(4, 0x80);
            if (i < 6 && j < 6) {
                // Only the block's own border is drawn, not the texture's edge inside it.
                expected = bytesAt(framePixel(10 + j, 10 + i), 4);
                if (i == 0 || j == 0)
                    expected = red;
                else
                    expected[2] = 0xFF;
            }
            EXPECT_EQ(bytesAt(blockPixel(0, 8, j, i), 4), expected) << j << "," << i;
        }
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            std::vector<uint8_t> expected = bytesAt(framePixel(1 + j, 1 + i), 4);
            if (i == 0 || j == 0 || i == 3 || j == 3)
                expected = green;
            else
                expected[2] = 0xFF;
            EXPECT_EQ(bytesAt(blockPixel(2, 4, j, i), 4), expected) << j << "," << i;
        }
}

// The point of the whole pipeline: a host that pastes every delivery over what it had ends up
// with exactly the page, frame after frame, whether blocks accumulate, reach past the edges,
// or give way to whole frames.
class CompositeTest : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(CompositeTest, HostPastingEveryDeliveryEndsUpWithThePage) {
    const int side = 64;
    const auto [pageWidth, pageHeight] = GetParam();
    PageImage page(pageWidth, pageHeight, 8);
    FrameTracker tracker;
    tracker.resize(pageWidth, pageHeight, side, side);
    test::FakeSegment segment;
    std::vector<uint8_t> host(side * side * 4, 0);
    std::mt19937 random(pageWidth * 1000 + pageHeight);
    auto pick = [&](int bound) { return static_cast<int>(random() % bound); };
    int wholeFrames = 0, rectangleFrames = 0;

    for (int frame = 0; frame < 300; ++frame) {
        const int changes = frame % 25 == 24 ? 0 : pick(3); // some quiet stretches
        for (int c = 0; c < changes; ++c) {
            const int x = pick(pageWidth), y = pick(pageHeight);
            const int w = 1 + pick(frame % 7 == 0 ? 30 : 5), h = 1 + pick(5);
            const test::Rgba colour = rgba(pick(256), pick(256), pick(256), pick(256));
            for (int r = y; r < std::min(pageHeight, y + h); ++r)
                for (int col = x; col < std::min(pageWidth, x + w); ++col)
                    page.set(col, r, colour);
        }
        tracker.trackFrame(page.pixels());
        // Sometimes the host is slow and changes pile up before the next delivery.
        if (!tracker.dirty() || pick(3) == 0)
            continue;
        const bool whole = tracker.fullFramePending();
        tracker.deliver(segment.target(), false);
        test::applyDelivery(segment, host);
        (whole ? wholeFrames : rectangleFrames)++;
        ASSERT_EQ(host, test::expectedTexture(page, side, side)) << "frame " << frame;
    }
    EXPECT_GT(wholeFrames, 1);
    EXPECT_GT(rectangleFrames, 10);
}

INSTANTIATE_TEST_SUITE_P(PageSizes, CompositeTest,
                         ::testing::Values(std::make_pair(64, 64), std::make_pair(50, 37)),
                         [](const ::testing::TestParamInfo<std::pair<int, int>> &info) {
                             return std::to_string(info.param.first) + "x" +
                                    std::to_string(info.param.second);
                         });

} // namespace
} // namespace KEL
