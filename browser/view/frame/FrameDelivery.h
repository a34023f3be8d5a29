#pragma once
// Writing a view's frame into the texture segment, whole or as update-slot blocks.
//
// These functions write shared memory: the caller holds the texture segment's lock. They never
// write outside the areas whose sizes TextureBuffer.h fixes, whatever the frame or slots say.

#include "TextureBuffer.h"
#include "UpdateSlots.h"

#include <cstdint>

namespace KEL {

// A frame in texture layout (R, G, B, A, bottom row first), width * height * 4 bytes.
struct FrameView {
    const uint8_t *bits = nullptr;
    int width = 0;
    int height = 0;
};

// Debug outline of delivered blocks (R, G, B, A): red for half-size, green for quarter-size.
constexpr uint8_t kHalfBlockOutline[4] = {0xFF, 0x00, 0x00, 0xFF};
constexpr uint8_t kQuarterBlockOutline[4] = {0x00, 0xFF, 0x00, 0xFF};
// What a block holds past the texture's top or right edge.
constexpr uint8_t kBlockPadding = 0x00;
constexpr uint8_t kDebugBlockPadding = 0x80;

// Starts a delivery: pending 1, full 0, the frame size, all descriptors zero.
void beginDelivery(TextureHeader &header, int textureWidth, int textureHeight);

// Copies the whole frame to the start of the full-image area. False, copying nothing, when the
// frame would not fit the area.
bool writeWholeFrame(const FrameView &frame, uint8_t *fullArea);

// For group 0 then 1 and index 0 then 1: a used slot 2 * group + index gets the next descriptor
// and its block, the slot's full capacity of pixels from (minX, minY) on, in area
// 2 * group + index. Pixels past the frame's edges are padding; with `debugOutline` the padding
// is 0x80, the block's border is drawn in the group's colour and the blue of the inside is
// saturated, so that a developer can see the blocks on screen. Returns the descriptors written.
int writeRectangles(const FrameView &frame, const UpdateSlots &slots, const TextureTarget &target,
                    bool debugOutline);

} // namespace KEL
