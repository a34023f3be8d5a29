// Copying frames out of the texture segment that a browser-side process wrote.

#include "TransportFixture.h"

#include <algorithm>
#include <cstring>

using namespace KelTest;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kGuard = 64 * 1024;

KEL::TextureRect rect(int32_t group, int32_t index, int32_t x, int32_t y, int32_t width,
                      int32_t height, uint8_t valid = 1) {
    return KEL::TextureRect{valid, {0, 0, 0}, group, index, x, y, width, height};
}

class TextureBufferTest : public TransportTest {
  protected:
    void SetUp() override {
        TransportTest::SetUp();
        ASSERT_TRUE(browser.open(TextureSegment));
        // Every area gets its own pattern, so a copy from the wrong area shows.
        for (int area = -1; area < KEL::kRectAreas; ++area) {
            uint32_t size = area < 0 ? KEL::kFullAreaSize : KEL::rectAreaSize(area);
            Bytes pixels(size);
            for (uint32_t i = 0; i < size; ++i)
                pixels[i] = uint8_t(i * 7 + (i >> 12) + area * 50 + 1);
            ASSERT_TRUE(browser.write(TextureSegment, area < 0 ? 0 : KEL::rectAreaOffset(area),
                                      pixels.data(), size));
        }
    }

    // Hands out a frame the way the browser does: header rewritten, descriptors from the first.
    void deliver(bool full, std::vector<KEL::TextureRect> rects = {}) {
        KEL::TextureHeader header = {};
        header.pending = 1;
        header.full = full;
        header.width = header.height = 1024;
        std::copy(rects.begin(), rects.end(), header.rects);
        ASSERT_TRUE(
            browser.write(TextureSegment, KEL::kTextureHeaderOffset, &header, sizeof header));
        std::fill(out.begin(), out.end(), 0xEE);
        update = KEL::TextureUpdate{7, out.data(), -1, -1, 0, 0};
    }
    void copy(bool fullOnly, int32_t group, int32_t index, int32_t width = 0, int32_t height = 0) {
        update.width = width;
        update.height = height;
        texture.updateTexture(fullOnly, group, index, &update);
    }
    // The host buffer holds exactly `size` bytes of `source`, and nothing beyond.
    testing::AssertionResult holds(const uint8_t *source, size_t size) {
        if (source && memcmp(out.data(), source, size) != 0)
            return testing::AssertionFailure() << "pixels differ from their area";
        if (!std::all_of(out.begin() + ptrdiff_t(size), out.end(),
                         [](uint8_t b) { return b == 0xEE; }))
            return testing::AssertionFailure() << "bytes written beyond " << size;
        return testing::AssertionSuccess();
    }
    testing::AssertionResult untouched() { return holds(nullptr, 0); }

    Peer browser;
    Bytes out = Bytes(KEL::kFullAreaSize + kGuard);
    KEL::TextureUpdate update = {};
};

// Guards against a whole frame being left waiting because the host asked for a rectangle.
TEST_F(TextureBufferTest, WholeFrameIsCopiedWhateverTheArgumentsAndReleasesTheSegment) {
    const std::tuple<bool, int, int> requests[] = {
        {true, 0, 0}, {false, 0, 0}, {false, 1, 1}, {false, 7, -3}};
    for (auto [fullOnly, group, index] : requests) {
        SCOPED_TRACE(testing::Message() << fullOnly << " " << group << " " << index);
        deliver(true, {rect(0, 0, 0, 0, 8, 8)});
        copy(fullOnly, group, index, 256, 128);
        EXPECT_EQ(update.updated, 1);
        EXPECT_TRUE(holds(texture.fullArea(), 256 * 128 * 4));
        EXPECT_EQ(header().pending, 0);
        EXPECT_EQ(header().full, 0);
    }
}

// Guards against the host releasing the segment before it has asked for the rectangles.
TEST_F(TextureBufferTest, FullOnlyRequestWithOnlyRectanglesCopiesNothing) {
    deliver(false, {rect(0, 0, 0, 0, 8, 8)});
    copy(true, 0, 0);
    EXPECT_EQ(update.updated, 0);
    EXPECT_TRUE(untouched());
    EXPECT_EQ(header().pending, 1);
}

// Guards against wrong areas, lost placement, descriptors consumed by reading, and a frame
// that is never released when the last rectangle is missing.
TEST_F(TextureBufferTest, RectanglesAreCopiedWithPlaceAndSizeUntilQuarterIndexOneReleases) {
    deliver(false, {rect(0, 1, 3, 4, 100, 50), rect(1, 0, 0, 0, 256, 256)});
    for (int repeat = 0; repeat < 2; ++repeat) {
        copy(false, 0, 1);
        EXPECT_EQ(update.updated, 1);
        EXPECT_EQ(std::vector<int>({update.x, update.y, update.width, update.height}),
                  std::vector<int>({3, 4, 100, 50}));
        EXPECT_TRUE(holds(texture.rectArea(1), 100 * 50 * 4));
    }
    copy(false, 1, 0);
    EXPECT_TRUE(holds(texture.rectArea(2), 256 * 256 * 4));
    EXPECT_EQ(header().pending, 1);

    deliver(false, {rect(0, 1, 3, 4, 100, 50), rect(1, 0, 0, 0, 256, 256)});
    copy(false, 0, 0);
    EXPECT_EQ(update.updated, 0);
    EXPECT_TRUE(untouched());
    copy(false, 1, 1);
    EXPECT_EQ(update.updated, 0);
    EXPECT_EQ(header().pending, 0);
    EXPECT_EQ(header().rects[0].valid, 1);

    deliver(false, {rect(1, 1, 5, 6, 7, 8)});
    copy(false, 1, 1);
    EXPECT_EQ(update.updated, 1);
    EXPECT_TRUE(holds(texture.rectArea(3), 7 * 8 * 4));
    EXPECT_EQ(header().pending, 0);
}

// Guards against unused descriptors being read, and later matches overriding the first.
TEST_F(TextureBufferTest, FirstValidMatchingDescriptorWins) {
    deliver(false, {rect(0, 0, 0, 0, 10, 1, 0), rect(0, 0, 0, 0, 20, 1), rect(0, 0, 0, 0, 30, 1)});
    copy(false, 0, 0);
    EXPECT_EQ(update.width, 20);
    EXPECT_TRUE(holds(texture.rectArea(0), 20 * 4));
}

// Values at the edges of what an i32 can carry and of the areas' sides.
constexpr int32_t kExtremes[] = {INT32_MIN, -1, 0, 513, 1024, 1 << 30, INT32_MAX};

// Guards against the host's size reading past the full-image area, including products that
// overflow in 32 and in 64 bits (INT32_MAX x INT32_MAX x 4).
TEST_F(TextureBufferTest, FullCopyAtTheExtremesCopiesOnlySidesWithinTheTexture) {
    for (int32_t width : kExtremes) {
        for (int32_t height : kExtremes) {
            SCOPED_TRACE(testing::Message() << width << " x " << height);
            const bool fits = width >= 0 && width <= 1024 && height >= 0 && height <= 1024;
            deliver(true);
            copy(false, 0, 0, width, height);
            EXPECT_EQ(update.updated, fits ? 1 : 0);
            EXPECT_TRUE(fits ? holds(texture.fullArea(), size_t(width) * size_t(height) * 4)
                             : untouched());
            EXPECT_EQ(header().pending, fits ? 0 : 1);
        }
    }
}

// Guards against descriptors from a buggy or hostile browser reading past their areas or
// placing a rectangle outside the texture: every field at every extreme, the others sound.
TEST_F(TextureBufferTest, DescriptorFieldsAtTheExtremesAreUsedOnlyWhenTheyFit) {
    using Field = int32_t KEL::TextureRect::*;
    struct Case {
        const char *name;
        Field field;
        std::vector<int32_t> accepted; // the extremes that still give a usable rectangle
    };
    const Case cases[] = {
        {"group", &KEL::TextureRect::group, {0}},
        {"index", &KEL::TextureRect::index, {0}},
        {"x", &KEL::TextureRect::x, {-1, 0, 513, 1024}},
        {"y", &KEL::TextureRect::y, {-1, 0, 513, 1024}},
        {"width", &KEL::TextureRect::width, {0}},
        {"height", &KEL::TextureRect::height, {0}},
    };
    // A 256 x 256 quarter rectangle at (768, 768), asked for by its own group and index.
    for (const Case &c : cases) {
        for (int32_t value : kExtremes) {
            SCOPED_TRACE(testing::Message() << c.name << " = " << value);
            KEL::TextureRect descriptor = rect(1, 0, 768, 768, 256, 256);
            descriptor.*c.field = value;
            const bool usable =
                std::find(c.accepted.begin(), c.accepted.end(), value) != c.accepted.end();
            deliver(false, {descriptor});
            copy(false, descriptor.group, descriptor.index);
            EXPECT_EQ(update.updated, usable ? 1 : 0);
            const int area = usable ? 2 * descriptor.group + descriptor.index : 0;
            EXPECT_TRUE(usable ? holds(texture.rectArea(area),
                                       size_t(descriptor.width) * size_t(descriptor.height) * 4)
                               : untouched());
        }
    }
    // Half rectangles: sides up to 512, and 513 rejected even when the area could hold it.
    const std::pair<int32_t, int32_t> halves[] = {{512, 512}, {513, 8}, {8, 513}, {512, 0}};
    for (auto [width, height] : halves) {
        SCOPED_TRACE(testing::Message() << "half " << width << " x " << height);
        deliver(false, {rect(0, 1, 0, 0, width, height)});
        copy(false, 0, 1);
        const bool usable = width <= 512 && height <= 512;
        EXPECT_EQ(update.updated, usable ? 1 : 0);
        EXPECT_TRUE(usable ? holds(texture.rectArea(1), size_t(width) * size_t(height) * 4)
                           : untouched());
    }
}

// Guards against the area number 2 * group + index landing on another area or outside them.
TEST_F(TextureBufferTest, GroupOrIndexOutOfRangeCopiesNothing) {
    const std::pair<int, int> places[] = {{2, 0}, {0, 2}, {-1, 1}, {1, -1}, {1, 2}, {-1, 3}};
    for (auto [group, index] : places) {
        SCOPED_TRACE(testing::Message() << group << " " << index);
        deliver(false, {rect(group, index, 0, 0, 4, 4)});
        copy(false, group, index);
        EXPECT_EQ(update.updated, 0);
        EXPECT_TRUE(untouched());
        EXPECT_EQ(header().pending, 1);
    }
}

} // namespace

// Guards against memcpy being handed the null buffer of a host that has no pixels to receive
// (an empty frame or rectangle): found by the texture fuzzer, caught here by the sanitizer run.
TEST_F(TextureBufferTest, EmptyFramesAndRectanglesNeedNoHostBuffer) {
    struct Case {
        bool full;
        KEL::TextureRect rect;
        int32_t width, height;
    };
    const Case cases[] = {
        {true, {}, 0, 1024}, {true, {}, 1024, 0}, {false, rect(1, 1, 0, 0, 0, 256), 0, 0}};
    for (const Case &c : cases) {
        deliver(c.full, c.full ? std::vector<KEL::TextureRect>{} : std::vector{c.rect});
        update.pixels = nullptr;
        copy(false, 1, 1, c.width, c.height);
        EXPECT_EQ(update.updated, 1);
        EXPECT_EQ(header().pending, 0);
    }
}
