#include "FrameDelivery.h"

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstring>

namespace KEL {

namespace {

constexpr int kGroups = 2;
constexpr int kIndicesPerGroup = 2;

struct Block {
    uint8_t *pixels;
    int32_t width; // capacity of the slot
    int32_t height;
};

// A slot's block must fit its area; with textures of at most 1024 pixels it always does.
bool blockFitsArea(const UpdateSlot &slot, int area) {
    const auto side = static_cast<int32_t>(rectAreaSide(area));
    return slot.capacityWidth > 0 && slot.capacityHeight > 0 && slot.capacityWidth <= side &&
           slot.capacityHeight <= side;
}

void fillDescriptor(TextureRect &rect, int group, int index, const UpdateSlot &slot,
                    int textureHeight) {
    std::memset(&rect, 0, sizeof rect);
    rect.valid = 1;
    rect.group = group;
    rect.index = index;
    rect.x = slot.minX;
    // Top-down position of the block's top row; negative when the block passes the top edge.
    rect.y = textureHeight - slot.minY - slot.capacityHeight;
    rect.width = slot.capacityWidth;
    rect.height = slot.capacityHeight;
}

// The part of a block that lies inside the frame, in pixels from the block's first corner.
struct Covered {
    int32_t columns;
    int32_t rows;
};

Covered copyBlock(const FrameView &frame, const UpdateSlot &slot, const Block &block) {
    // Slot bounds come from scanning this frame, so they are never negative.
    assert(slot.minX >= 0 && slot.minY >= 0);
    const int32_t left = std::max<int32_t>(slot.minX, 0);
    const int32_t bottom = std::max<int32_t>(slot.minY, 0);
    const Covered covered{std::clamp<int32_t>(frame.width - left, 0, block.width),
                          std::clamp<int32_t>(frame.height - bottom, 0, block.height)};
    for (int32_t i = 0; i < covered.rows; ++i) {
        const uint8_t *source =
            frame.bits + (static_cast<std::size_t>(bottom + i) * frame.width + left) * 4;
        std::memcpy(block.pixels + static_cast<std::size_t>(i) * block.width * 4, source,
                    static_cast<std::size_t>(covered.columns) * 4);
    }
    return covered;
}

void outlineBlock(const Block &block, Covered covered, const uint8_t colour[4]) {
    for (int32_t i = 0; i < covered.rows; ++i) {
        uint8_t *row = block.pixels + static_cast<std::size_t>(i) * block.width * 4;
        const bool borderRow = i == 0 || i == block.height - 1;
        for (int32_t j = 0; j < covered.columns; ++j) {
            uint8_t *pixel = row + static_cast<std::size_t>(j) * 4;
            if (borderRow || j == 0 || j == block.width - 1)
                std::memcpy(pixel, colour, 4);
            else
                pixel[2] = 0xFF;
        }
    }
}

void writeBlock(const FrameView &frame, const UpdateSlot &slot, uint8_t *area, int group,
                bool debugOutline) {
    const Block block{area, slot.capacityWidth, slot.capacityHeight};
    std::memset(area, debugOutline ? kDebugBlockPadding : kBlockPadding,
                static_cast<std::size_t>(block.width) * block.height * 4);
    const Covered covered = copyBlock(frame, slot, block);
    if (debugOutline)
        outlineBlock(block, covered, group == 0 ? kHalfBlockOutline : kQuarterBlockOutline);
}

} // namespace

void beginDelivery(TextureHeader &header, int textureWidth, int textureHeight) {
    header.pending = 1;
    header.full = 0;
    header.width = static_cast<uint32_t>(textureWidth);
    header.height = static_cast<uint32_t>(textureHeight);
    std::memset(header.rects, 0, sizeof header.rects);
}

bool writeWholeFrame(const FrameView &frame, uint8_t *fullArea) {
    if (!frame.bits || !fullArea || frame.width <= 0 || frame.height <= 0)
        return false;
    const std::size_t bytes = static_cast<std::size_t>(frame.width) * frame.height * 4;
    if (bytes > kFullAreaSize)
        return false;
    std::memcpy(fullArea, frame.bits, bytes);
    return true;
}

int writeRectangles(const FrameView &frame, const UpdateSlots &slots, const TextureTarget &target,
                    bool debugOutline) {
    if (!target.header || !frame.bits)
        return 0;
    int written = 0;
    for (int group = 0; group < kGroups; ++group) {
        for (int index = 0; index < kIndicesPerGroup; ++index) {
            const int area = group * kIndicesPerGroup + index;
            const UpdateSlot &slot = slots[area];
            if (!slot.used || !target.rectAreas[area])
                continue;
            if (!blockFitsArea(slot, area)) {
                assert(!"update slot larger than its rectangle area");
                continue;
            }
            fillDescriptor(target.header->rects[written++], group, index, slot, frame.height);
            writeBlock(frame, slot, target.rectAreas[area], group, debugOutline);
        }
    }
    return written;
}

} // namespace KEL
