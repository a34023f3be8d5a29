#include "FrameTaking.h"

#include "TextureSize.h"

#include <algorithm>
#include <cstring>

namespace KEL {
namespace Host {

bool takeWholeFrame(uint8_t *pixels, int32_t width, int32_t height) {
    KEL_TextureUpdate update{};
    update.pixels = pixels;
    update.width = width;
    update.height = height;
    KEL_UpdateTexture(true, 0, 0, &update);
    return update.updated != 0;
}

void takeRectangles(
    std::vector<uint8_t> &block,
    const std::function<void(int group, int index, const KEL_TextureUpdate &rect)> &use) {
    block.resize(rectAreaSize(0));
    for (int group = 0; group < 2; ++group) {
        for (int index = 0; index < 2; ++index) {
            KEL_TextureUpdate rect{};
            rect.pixels = block.data();
            KEL_UpdateTexture(false, group, index, &rect);
            const int64_t bytes =
                pixelBlockBytes(rect.width, rect.height, rectAreaSide(2 * group + index));
            if (!rect.updated || bytes <= 0)
                continue;
            use(group, index, rect);
        }
    }
}

// (x, y) is the block's top-left corner counted from the texture's top edge; its rows are
// bottom row first like the texture's.
bool clipRectangle(const KEL_TextureUpdate &rect, const uint8_t *block, int32_t textureWidth,
                   int32_t textureHeight, FramePiece *piece) {
    if (rect.width <= 0 || rect.height <= 0)
        return false;
    const int64_t firstRow = int64_t(textureHeight) - rect.y - rect.height;
    const int64_t row0 = std::max<int64_t>(0, firstRow);
    const int64_t row1 = std::min<int64_t>(textureHeight, firstRow + rect.height);
    const int64_t x0 = std::max<int64_t>(0, rect.x);
    const int64_t x1 = std::min<int64_t>(textureWidth, int64_t(rect.x) + rect.width);
    if (row0 >= row1 || x0 >= x1)
        return false;
    *piece = FramePiece();
    piece->x = int32_t(x0);
    piece->row = int32_t(row0);
    piece->width = int32_t(x1 - x0);
    piece->height = int32_t(row1 - row0);
    piece->textureWidth = textureWidth;
    piece->textureHeight = textureHeight;
    piece->pitch = rect.width * 4;
    piece->pixels = block + (row0 - firstRow) * piece->pitch + (x0 - rect.x) * 4;
    return true;
}

Delivery FrameTaker::take(uint8_t *texture, int32_t textureWidth, int32_t textureHeight,
                          const std::function<void(const FramePiece &)> &onPiece) {
    Delivery delivery;
    uint8_t *target = texture;
    int32_t width = textureWidth, height = textureHeight;
    if (!target) {
        // Copied into scratch so the segment is released all the same.
        m_scratch.resize(kFullAreaSize);
        target = m_scratch.data();
        width = height = int32_t(kMaxTextureSide);
    }
    if (takeWholeFrame(target, width, height)) {
        delivery.whole = true;
        if (texture && onPiece) {
            FramePiece piece;
            piece.whole = true;
            piece.width = piece.textureWidth = width;
            piece.height = piece.textureHeight = height;
            piece.pixels = texture;
            piece.pitch = width * 4;
            onPiece(piece);
        }
        return delivery;
    }
    takeRectangles(m_block, [&](int, int, const KEL_TextureUpdate &rect) {
        ++delivery.rectangles;
        FramePiece piece;
        if (!texture || !clipRectangle(rect, m_block.data(), width, height, &piece))
            return;
        for (int32_t i = 0; i < piece.height; ++i)
            std::memcpy(texture + (size_t(piece.row + i) * size_t(width) + size_t(piece.x)) * 4,
                        piece.pixels + size_t(i) * size_t(piece.pitch), size_t(piece.width) * 4);
        if (onPiece)
            onPiece(piece);
    });
    return delivery;
}

} // namespace Host
} // namespace KEL
