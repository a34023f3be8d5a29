// Page-to-texture conversion, its SIMD paths and the fused comparison.

#include "FrameTestSupport.h"
#include "PixelConversion.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace KEL {
namespace {

using test::PageImage;
using test::rgba;

class ConversionPathTest : public ::testing::TestWithParam<ConversionPath> {
  protected:
    void SetUp() override {
        if (!conversionPathSupported(GetParam()))
            GTEST_SKIP() << conversionPathName(GetParam()) << " not supported by this CPU";
    }
};

int nextPowerOfTwo(int side) {
    int texture = 1;
    while (texture < side)
        texture *= 2;
    return texture;
}

// Guards the layout the host relies on: R,G,B,A order, bottom row first, nothing written
// outside the page.
TEST_P(ConversionPathTest, WritesPagePixelsBottomRowFirstAsRgbaAndNothingElse) {
    PageImage page(3, 2, 4);
    page.set(0, 0, rgba(1, 2, 3, 4));
    page.set(2, 0, rgba(5, 6, 7, 8));
    page.set(1, 1, rgba(9, 10, 11, 12));
    std::vector<uint8_t> texture(4 * 4 * 4, 0xAB);

    convertPage(GetParam(), page.pixels(), {texture.data(), 4, 4});

    auto pixel = [&](int x, int y) {
        return std::vector<uint8_t>(&texture[(y * 4 + x) * 4], &texture[(y * 4 + x) * 4] + 4);
    };
    EXPECT_EQ(pixel(0, 3), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(pixel(2, 3), (std::vector<uint8_t>{5, 6, 7, 8}));
    EXPECT_EQ(pixel(1, 2), (std::vector<uint8_t>{9, 10, 11, 12}));
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            if (y < 2 || x == 3) {
                EXPECT_EQ(pixel(x, y), std::vector<uint8_t>(4, 0xAB)) << x << "," << y;
            }
}

// Vector loops and their scalar tails must agree on every width, including ones that leave a
// remainder after each vector width.
TEST_P(ConversionPathTest, MatchesLayoutRuleOnOddSizesWithPaddedRows) {
    std::mt19937 random(42);
    for (int width : {1, 3, 17, 129, 1023}) {
        for (int height : {1, 7, 33}) {
            PageImage page(width, height, 12);
            page.fillRandom(random);
            const int textureWidth = nextPowerOfTwo(width), textureHeight = nextPowerOfTwo(height);
            std::vector<uint8_t> texture(static_cast<std::size_t>(textureWidth) * textureHeight *
                                         4);

            convertPage(GetParam(), page.pixels(), {texture.data(), textureWidth, textureHeight});

            ASSERT_EQ(texture, test::expectedTexture(page, textureWidth, textureHeight))
                << width << " x " << height;
        }
    }
}

// The fused comparison must find a difference anywhere in the frame, not only where it
// converts, and must still finish converting after it has found one.
TEST_P(ConversionPathTest, FusedComparisonSeesEveryByteAndStillConvertsEverything) {
    std::mt19937 random(7);
    const int textureSide = 64;
    PageImage page(37, 45);
    page.fillRandom(random);
    const std::vector<uint8_t> converted = test::expectedTexture(page, textureSide, textureSide);
    std::vector<uint8_t> texture(converted.size(), 0);

    std::vector<uint8_t> reference = converted;
    EXPECT_TRUE(convertPageAndCompare(
        GetParam(), page.pixels(), {texture.data(), textureSide, textureSide}, reference.data()));

    const std::size_t rowBytes = textureSide * 4;
    const std::size_t pageTop = (textureSide - 1) * rowBytes;
    const std::size_t offsets[] = {
        0,                                 // a row above the page
        (textureSide - 45) * rowBytes - 1, // last byte above the page
        (textureSide - 45) * rowBytes,     // first page pixel of the bottom page row
        pageTop + 36 * 4 + 3,              // last page byte of the top row
        pageTop + 37 * 4,                  // right of the page
        converted.size() - 1,              // very last byte
    };
    for (std::size_t offset : offsets) {
        reference = converted;
        reference[offset] ^= 0x01;
        std::fill(texture.begin(), texture.end(), 0);
        EXPECT_FALSE(convertPageAndCompare(GetParam(), page.pixels(),
                                           {texture.data(), textureSide, textureSide},
                                           reference.data()))
            << "byte " << offset;
        EXPECT_EQ(texture, converted) << "byte " << offset;
    }
}

// The per-row test the tracker runs on every row of every frame: a difference in any byte of
// any pixel, also in the tail that the vector loop leaves to the scalar code, must show.
TEST_P(ConversionPathTest, RowComparisonSeesEveryByteOfEveryPixel) {
    std::mt19937 random(11);
    for (int width : {1, 7, 8, 15, 16, 17, 33, 64}) {
        PageImage page(width, 1);
        page.fillRandom(random);
        std::vector<uint8_t> converted = test::expectedTexture(page, width, 1);
        const uint8_t *row = page.pixels().bits;
        EXPECT_TRUE(pageRowEquals(GetParam(), row, converted.data(), width)) << width;
        for (std::size_t byte = 0; byte < converted.size(); ++byte) {
            converted[byte] ^= 0x40;
            EXPECT_FALSE(pageRowEquals(GetParam(), row, converted.data(), width))
                << width << " byte " << byte;
            converted[byte] ^= 0x40;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, ConversionPathTest,
                         ::testing::Values(ConversionPath::Scalar, ConversionPath::Ssse3,
                                           ConversionPath::Avx2),
                         [](const ::testing::TestParamInfo<ConversionPath> &info) {
                             return std::string(conversionPathName(info.param));
                         });

TEST(PixelConversion, PageLargerThanTextureIsCutToTheTexture) {
    PageImage page(6, 6);
    std::mt19937 random(3);
    page.fillRandom(random);
    std::vector<uint8_t> texture(4 * 4 * 4 + 16, 0xCD); // 16 guard bytes

    convertPage(page.pixels(), {texture.data(), 4, 4});

    EXPECT_EQ(std::vector<uint8_t>(texture.end() - 16, texture.end()),
              std::vector<uint8_t>(16, 0xCD));
}

} // namespace
} // namespace KEL
