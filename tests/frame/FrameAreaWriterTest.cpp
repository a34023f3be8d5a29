// The frame-area writer against a reader in the same process: whatever mix of changed
// rectangles, whole paints, resizes, skipped and held frames, every frame the host takes equals
// the page converted whole, its rectangles bring the host's copy up to it, and a held frame is
// never written. Also the rectangle merging that keeps a frame's list short.

#include "FrameAreaWriter.h"
#include "FrameTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace KEL {
namespace test {
namespace {

std::vector<uint8_t> converted(const PageImage &page) {
    const PagePixels pixels = page.pixels();
    std::vector<uint8_t> texture(size_t(pixels.width) * pixels.height * 4);
    convertPage(pixels, TexturePixels{texture.data(), pixels.width, pixels.height});
    return texture;
}

bool covers(const std::vector<PageRect> &rects, int x, int y) {
    for (const PageRect &r : rects) {
        if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height)
            return true;
    }
    return false;
}

struct MergeCase {
    const char *name;
    std::vector<PageRect> rects;
    size_t limit;
    size_t expected;
};

// Guards against merging that loses part of a change, keeps empty rectangles, or leaves more
// than the limit.
TEST(FrameAreaRects, MergingKeepsEveryPixelWithinTheLimit) {
    std::vector<PageRect> grid;
    for (int i = 0; i < 20; ++i)
        grid.push_back(PageRect{(i % 5) * 20, (i / 5) * 20, 5, 5});
    const MergeCase cases[] = {
        {"none", {}, 16, 0},
        {"empty ones dropped", {{0, 0, 0, 5}, {3, 3, 4, -1}, {1, 1, 2, 2}}, 16, 1},
        {"within the limit untouched", {{0, 0, 2, 2}, {10, 10, 2, 2}, {50, 0, 1, 1}}, 16, 3},
        {"twenty down to sixteen", grid, 16, 16},
        {"twenty down to one", grid, 1, 1},
        {"overlapping pair", {{0, 0, 10, 10}, {5, 5, 10, 10}}, 1, 1},
    };
    for (const MergeCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<PageRect> merged = mergeRects(c.rects, c.limit);
        EXPECT_EQ(merged.size(), c.expected);
        for (const PageRect &r : c.rects) {
            if (r.width <= 0 || r.height <= 0)
                continue;
            for (int y = r.y; y < r.y + r.height; ++y)
                for (int x = r.x; x < r.x + r.width; ++x)
                    ASSERT_TRUE(covers(merged, x, y)) << x << "," << y;
        }
    }
}

class FrameAreaWriterTest : public testing::Test {
  protected:
    void SetUp() override {
        const std::string suffix = "_fw" + std::to_string(getpid());
        setenv("KEL_SEGMENT_SUFFIX", suffix.c_str(), 1);
        const std::u16string view = u"writer";
        control = frameControlName(reinterpret_cast<const uint16_t *>(view.c_str()), view.size());
    }
    void TearDown() override { unsetenv("KEL_SEGMENT_SUFFIX"); }
    std::string control;
};

// Guards against a slot brought up to date with too little (it holds a frame some numbers old,
// possibly of another generation), rectangles that miss a change the host has not seen, and
// the browser writing the frame the host holds.
TEST_F(FrameAreaWriterTest, EveryTakenFrameIsThePageAndItsRectanglesBringTheHostUpToIt) {
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        FrameAreaWriter writer(control);
        ASSERT_TRUE(writer.ready());
        FrameAreaReader reader(control);
        auto page = std::make_unique<PageImage>(97, 61, 12);
        page->fillRandom(random);
        std::vector<uint8_t> host;
        uint32_t hostFrame = 0;
        std::vector<uint8_t> held; // what the held frame showed when it was taken
        const uint8_t *heldPixels = nullptr;
        int holdFor = 0;
        for (int step = 0; step < 120; ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            // The page changes: a resize now and then, else a few rectangles or a whole paint.
            std::vector<PageRect> changed;
            bool whole = false;
            if (step == 40 || step == 80) {
                page = std::make_unique<PageImage>(step == 40 ? 300 : 40, step == 40 ? 211 : 33);
                page->fillRandom(random);
            } else {
                const int count = int(random() % 4);
                for (int i = 0; i < count; ++i) {
                    const PagePixels p = page->pixels();
                    PageRect r{int(random() % p.width), int(random() % p.height), 0, 0};
                    r.width = 1 + int(random() % (p.width - r.x));
                    r.height = 1 + int(random() % (p.height - r.y));
                    const Rgba colour{uint8_t(random()), uint8_t(random()), uint8_t(random()), 255};
                    for (int y = r.y; y < r.y + r.height; ++y)
                        for (int x = r.x; x < r.x + r.width; ++x)
                            page->set(x, y, colour);
                    changed.push_back(r);
                }
                // A whole paint that changed one pixel outside any listed rectangle: found by
                // the comparison with the previous frame.
                if (random() % 8 == 0) {
                    whole = true;
                    page->set(0, 0, Rgba{uint8_t(step), 1, 2, 255});
                }
            }
            ASSERT_NE(writer.write(page->pixels(), changed, whole), 0u);
            const std::vector<uint8_t> expected = converted(*page);

            if (heldPixels) {
                ASSERT_EQ(std::memcmp(heldPixels, held.data(), held.size()), 0)
                    << "the held frame was written";
                if (--holdFor > 0)
                    continue;
                reader.release();
                heldPixels = nullptr;
            }
            // The host skips some frames.
            if (random() % 3 == 0)
                continue;
            KEL_Frame frame{};
            ASSERT_EQ(reader.take(frame), 1);
            const size_t bytes = size_t(frame.stride) * frame.height;
            ASSERT_EQ(bytes, expected.size());
            const auto *pixels = static_cast<const uint8_t *>(frame.pixels);
            ASSERT_EQ(std::memcmp(pixels, expected.data(), bytes), 0) << "frame " << frame.number;
            if (host.size() != bytes || frame.rectCount < 0 || frame.changesSince > hostFrame) {
                host.assign(pixels, pixels + bytes);
            } else {
                for (int i = 0; i < frame.rectCount; ++i) {
                    const KEL_FrameRect &r = frame.rects[i];
                    for (int row = r.y; row < r.y + r.height; ++row)
                        std::memcpy(host.data() + size_t(row) * frame.stride + size_t(r.x) * 4,
                                    pixels + size_t(row) * frame.stride + size_t(r.x) * 4,
                                    size_t(r.width) * 4);
                }
                ASSERT_EQ(std::memcmp(host.data(), pixels, bytes), 0)
                    << "a change outside the rectangles of frame " << frame.number;
            }
            hostFrame = frame.number;
            // Sometimes the frame stays held across the next writes.
            if (random() % 4 == 0) {
                held.assign(pixels, pixels + bytes);
                heldPixels = pixels;
                holdFor = 1 + int(random() % 3);
            } else {
                reader.release();
            }
        }
    }
}

} // namespace
} // namespace test
} // namespace KEL
