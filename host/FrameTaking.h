#pragma once
// Taking a frame out of the texture segment after UPVW, the one way every host of the kit does
// it (View, FrameCompositor, tools, tests): the whole frame when one waits, else each of the up
// to four rectangles, group 1 index 1 last (asking for it releases the segment for the next
// frame). Rectangle descriptors come from the other process: a block whose sides do not fit
// its area is skipped, and blocks are clipped to the texture (they may reach past its top or
// right edge).

#include "KELPlugin.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace KEL {
namespace Host {

// One piece of a frame as it arrives: the whole texture, or one rectangle of it. Pixels are in
// the texture's layout (R G B A premultiplied, bottom row first): `row` counts memory rows from
// the bottom of the texture, so a host whose textures are bottom-up (OpenGL) uploads the piece
// at (x, row) as it is, and a top-down host draws its texture flipped. Pieces are clipped to
// the texture; `pitch` is the distance in bytes between the piece's rows.
struct FramePiece {
    bool whole = false;
    int32_t x = 0, row = 0, width = 0, height = 0;
    int32_t textureWidth = 0, textureHeight = 0;
    const uint8_t *pixels = nullptr;
    int32_t pitch = 0;
};

// What one delivery was.
struct Delivery {
    bool whole = false;
    int rectangles = 0; // rectangles delivered when not whole (before clipping)
};

// Copies a waiting whole frame into `pixels` (width x height x 4 bytes); false when none waits
// (then rectangles do).
bool takeWholeFrame(uint8_t *pixels, int32_t width, int32_t height);

// Asks for the four rectangles in order, group 1 index 1 last, each into `block` (resized to
// the largest area), and calls `use` for each that came with sides that fit its area; `rect`
// has the descriptor, the block holds rect.width x rect.height pixels.
void takeRectangles(
    std::vector<uint8_t> &block,
    const std::function<void(int group, int index, const KEL_TextureUpdate &rect)> &use);

// The part of a rectangle block that lies on a texture of this size, as a piece; false when
// none does.
bool clipRectangle(const KEL_TextureUpdate &rect, const uint8_t *block, int32_t textureWidth,
                   int32_t textureHeight, FramePiece *piece);

// Takes the waiting delivery into a texture of the given size (whole frames straight into it,
// rectangles clipped and copied onto it) and hands each piece to `onPiece` (may be empty).
// With no texture (a view the host does not show) the frame is only released.
class FrameTaker {
  public:
    Delivery take(uint8_t *texture, int32_t textureWidth, int32_t textureHeight,
                  const std::function<void(const FramePiece &)> &onPiece = {});
    // Releases a waiting frame nobody wants, so the frames of other views keep flowing.
    void release() { take(nullptr, 0, 0); }

  private:
    std::vector<uint8_t> m_block;
    std::vector<uint8_t> m_scratch;
};

} // namespace Host
} // namespace KEL
