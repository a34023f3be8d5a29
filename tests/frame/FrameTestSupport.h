#pragma once
// Page images, a texture segment in process memory and a host-side compositor for the frame
// pipeline's tests.

#include "FrameDelivery.h"
#include "PixelConversion.h"
#include "TextureBuffer.h"

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace KEL {
namespace test {

struct Rgba {
    uint8_t r, g, b, a;
};

// A page image laid out like Qt's ARGB32 premultiplied on little-endian: B, G, R, A per pixel,
// rows top first, optionally padded at the end of each row.
class PageImage {
  public:
    PageImage(int width, int height, int rowPadding = 0)
        : m_width(width), m_height(height), m_bytesPerLine(width * 4 + rowPadding),
          m_bytes(static_cast<std::size_t>(m_bytesPerLine) * height, 0) {}

    void set(int column, int row, Rgba colour) {
        uint8_t *pixel = m_bytes.data() + row * m_bytesPerLine + column * 4;
        pixel[0] = colour.b;
        pixel[1] = colour.g;
        pixel[2] = colour.r;
        pixel[3] = colour.a;
    }
    // Sets the pixel that lands on texture pixel (x, y), y counted from the bottom row, in a
    // texture `textureHeight` rows high.
    void setAtTexture(int x, int y, int textureHeight, Rgba colour) {
        set(x, textureHeight - 1 - y, colour);
    }
    void fillRandom(std::mt19937 &random) {
        for (uint8_t &byte : m_bytes)
            byte = static_cast<uint8_t>(random());
    }
    PagePixels pixels() const { return {m_bytes.data(), m_bytesPerLine, m_width, m_height}; }
    int width() const { return m_width; }
    int height() const { return m_height; }

  private:
    int m_width;
    int m_height;
    int m_bytesPerLine;
    std::vector<uint8_t> m_bytes;
};

inline Rgba rgba(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 0xFF) {
    return {r, g, b, a};
}

// The texture a page must become, computed pixel by pixel from the layout rule.
inline std::vector<uint8_t> expectedTexture(const PageImage &page, int textureWidth,
                                            int textureHeight) {
    std::vector<uint8_t> texture(static_cast<std::size_t>(textureWidth) * textureHeight * 4, 0);
    const PagePixels pixels = page.pixels();
    for (int r = 0; r < page.height(); ++r)
        for (int c = 0; c < page.width(); ++c) {
            const uint8_t *in = pixels.bits + r * pixels.bytesPerLine + c * 4;
            uint8_t *out = texture.data() + ((textureHeight - 1 - r) * textureWidth + c) * 4;
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = in[3];
        }
    return texture;
}

// A texture segment in ordinary memory.
class FakeSegment {
  public:
    FakeSegment() : m_bytes(kTextureSegmentSize, 0xEE) {}
    TextureTarget target() { return textureTargetAt(m_bytes.data()); }
    const TextureHeader &header() const {
        return *reinterpret_cast<const TextureHeader *>(m_bytes.data() + kTextureHeaderOffset);
    }
    const uint8_t *rectArea(int area) const { return m_bytes.data() + rectAreaOffset(area); }
    const uint8_t *fullArea() const { return m_bytes.data(); }

  private:
    std::vector<uint8_t> m_bytes;
};

// What a host does with a delivery: a whole frame replaces its texture, a rectangle is pasted at
// its position, clipped to the texture.
inline void applyDelivery(const FakeSegment &segment, std::vector<uint8_t> &hostTexture) {
    const TextureHeader &header = segment.header();
    const int width = static_cast<int>(header.width);
    const int height = static_cast<int>(header.height);
    if (header.full) {
        std::memcpy(hostTexture.data(), segment.fullArea(), hostTexture.size());
        return;
    }
    for (const TextureRect &rect : header.rects) {
        if (!rect.valid)
            continue;
        const uint8_t *block = segment.rectArea(rect.group * 2 + rect.index);
        const int firstRow = height - rect.y - rect.height; // memory order
        for (int i = 0; i < rect.height; ++i)
            for (int j = 0; j < rect.width; ++j) {
                const int x = rect.x + j, y = firstRow + i;
                if (x < 0 || y < 0 || x >= width || y >= height)
                    continue;
                std::memcpy(hostTexture.data() + (y * width + x) * 4,
                            block + (i * rect.width + j) * 4, 4);
            }
    }
}

} // namespace test
} // namespace KEL
