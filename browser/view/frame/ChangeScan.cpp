#include "ChangeScan.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace KEL {

void ChangeBox::include(int32_t first, int32_t last, int32_t y) {
    if (!used) {
        used = true;
        minX = first;
        maxX = last;
        minY = maxY = y;
        return;
    }
    minX = std::min(minX, first);
    maxX = std::max(maxX, last);
    minY = std::min(minY, y);
    maxY = std::max(maxY, y);
}

namespace {

bool pixelDiffers(const uint8_t *a, const uint8_t *b, int x) {
    uint32_t pa, pb;
    std::memcpy(&pa, a + x * 4, 4);
    std::memcpy(&pb, b + x * 4, 4);
    return pa != pb;
}

// A box only needs the outermost changed columns of each row half, so search inwards from
// both ends instead of visiting every pixel.
void scanRowHalf(const uint8_t *row, const uint8_t *previousRow, int begin, int end, int y,
                 ChangeBox &box) {
    int first = begin;
    while (first < end && !pixelDiffers(row, previousRow, first))
        ++first;
    if (first == end)
        return;
    int last = end - 1;
    while (!pixelDiffers(row, previousRow, last))
        --last;
    box.include(first, last, y);
}

} // namespace

void includeChangedRow(const uint8_t *row, const uint8_t *previousRow, int y, int textureWidth,
                       int textureHeight, int pageWidth, QuadrantBoxes &boxes) {
    const int columns = std::clamp(pageWidth, 0, textureWidth);
    const int middleX = textureWidth / 2;
    const bool top = y >= textureHeight / 2;
    scanRowHalf(row, previousRow, 0, std::min(columns, middleX), y,
                boxes[top ? LeftTop : LeftBottom]);
    scanRowHalf(row, previousRow, middleX, columns, y, boxes[top ? RightTop : RightBottom]);
}

QuadrantBoxes scanChangedQuadrants(const uint8_t *frame, const uint8_t *previous, int textureWidth,
                                   int textureHeight, int pageWidth) {
    QuadrantBoxes boxes{};
    if (!frame || !previous || textureWidth <= 0 || textureHeight <= 0)
        return boxes;
    const int columns = std::clamp(pageWidth, 0, textureWidth);
    const std::size_t rowBytes = static_cast<std::size_t>(textureWidth) * 4;

    for (int y = 0; y < textureHeight; ++y) {
        const uint8_t *row = frame + rowBytes * y;
        const uint8_t *previousRow = previous + rowBytes * y;
        if (std::memcmp(row, previousRow, static_cast<std::size_t>(columns) * 4) == 0)
            continue;
        includeChangedRow(row, previousRow, y, textureWidth, textureHeight, columns, boxes);
    }
    return boxes;
}

} // namespace KEL
