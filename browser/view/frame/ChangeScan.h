#pragma once
// Where a frame changed: one bounding box of changed pixels per texture quadrant.
//
// Coordinates are texture pixels in memory order: x is the column, y the row counted from the
// bottom row (row 0 in memory). Bounds are inclusive.

#include <array>
#include <cstdint>

namespace KEL {

struct ChangeBox {
    bool used = false;
    int32_t minX = 0;
    int32_t minY = 0;
    int32_t maxX = 0;
    int32_t maxY = 0;

    int32_t width() const { return maxX - minX + 1; }
    int32_t height() const { return maxY - minY + 1; }
    // Grows the box to hold columns first..last of row y; the first call sets all bounds.
    void include(int32_t first, int32_t last, int32_t y);
};

// Quadrant indices follow the order in which boxes are placed into update slots.
enum Quadrant { LeftBottom = 0, LeftTop = 1, RightBottom = 2, RightTop = 3 };
constexpr int kQuadrantCount = 4;
using QuadrantBoxes = std::array<ChangeBox, kQuadrantCount>;

// Pixel (x, y) belongs to the right half when x >= textureWidth / 2 and to the top half when
// y >= textureHeight / 2.
constexpr Quadrant quadrantOf(int x, int y, int textureWidth, int textureHeight) {
    return static_cast<Quadrant>((x >= textureWidth / 2 ? 2 : 0) +
                                 (y >= textureHeight / 2 ? 1 : 0));
}

// Grows the boxes by the changed pixels of one row y: `row` and `previousRow` hold the row's
// first pageWidth pixels (texture layout), and only those are looked at.
void includeChangedRow(const uint8_t *row, const uint8_t *previousRow, int y, int textureWidth,
                       int textureHeight, int pageWidth, QuadrantBoxes &boxes);

// Boxes around every 32-bit pixel of `frame` that differs from `previous`, looking at all rows
// but only at the page's columns 0..pageWidth-1 (the rest of the texture is never painted).
// Both buffers are textureWidth x textureHeight x 4 bytes.
QuadrantBoxes scanChangedQuadrants(const uint8_t *frame, const uint8_t *previous, int textureWidth,
                                   int textureHeight, int pageWidth);

} // namespace KEL
