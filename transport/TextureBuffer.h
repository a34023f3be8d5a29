#pragma once
// The texture segment: one frame of one view at a time, whole or as up to four rectangles.
//
// Layout: full-image area (1024 x 1024 x 4) at 0, then rectangle areas 0 and 1 (512 x 512 x 4,
// group 0) and 2 and 3 (256 x 256 x 4, group 1), then the 124-byte TextureHeader.

#include "Command.h"
#include "SharedBuffer.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace KEL {

struct TextureRect {
    uint8_t valid;
    uint8_t reserved[3];
    int32_t group; // 0 = half-size, 1 = quarter-size
    int32_t index; // 0 or 1 within the group
    int32_t x;
    int32_t y; // frame height - first row - height
    int32_t width;
    int32_t height;
};
static_assert(sizeof(TextureRect) == 28, "TextureRect layout");
static_assert(offsetof(TextureRect, group) == 4 && offsetof(TextureRect, index) == 8,
              "TextureRect layout");
static_assert(offsetof(TextureRect, x) == 12 && offsetof(TextureRect, y) == 16,
              "TextureRect layout");
static_assert(offsetof(TextureRect, width) == 20 && offsetof(TextureRect, height) == 24,
              "TextureRect layout");

struct TextureHeader {
    uint8_t pending; // 1 = a frame waits for the host
    uint8_t full;    // 1 = the full-image area holds a whole frame
    uint8_t reserved[2];
    uint32_t width;
    uint32_t height;
    TextureRect rects[4];
};
static_assert(sizeof(TextureHeader) == 124, "TextureHeader layout");
static_assert(offsetof(TextureHeader, full) == 1, "TextureHeader layout");
static_assert(offsetof(TextureHeader, width) == 4 && offsetof(TextureHeader, height) == 8,
              "TextureHeader layout");
static_assert(offsetof(TextureHeader, rects) == 12, "TextureHeader layout");
static_assert(std::is_trivially_copyable<TextureHeader>::value, "TextureHeader is shared memory");

constexpr uint32_t kMaxTextureSide = 1024;
constexpr uint32_t kFullAreaSize = kMaxTextureSide * kMaxTextureSide * 4;
constexpr int kRectAreas = 4;
// Side of rectangle area `area` (2 * group + index): 512 for group 0, 256 for group 1.
constexpr uint32_t rectAreaSide(int area) {
    return kMaxTextureSide >> (area / 2 + 1);
}
constexpr uint32_t rectAreaSize(int area) {
    return rectAreaSide(area) * rectAreaSide(area) * 4;
}
constexpr uint32_t rectAreaOffset(int area) {
    uint32_t offset = kFullAreaSize;
    for (int i = 0; i < area; ++i)
        offset += rectAreaSize(i);
    return offset;
}
constexpr uint32_t kTextureHeaderOffset = rectAreaOffset(kRectAreas);
constexpr uint32_t kTextureSegmentSize = kTextureHeaderOffset + sizeof(TextureHeader);
static_assert(rectAreaOffset(0) == 4194304 && rectAreaOffset(1) == 5242880, "texture layout");
static_assert(rectAreaOffset(2) == 6291456 && rectAreaOffset(3) == 6553600, "texture layout");
static_assert(kTextureHeaderOffset == 6815744, "texture layout");
static_assert(kTextureSegmentSize == 6815868, "texture segment size");
static_assert(kTextureHeaderOffset % alignof(TextureHeader) == 0, "header alignment");

// The header and pixel areas of a mapped texture segment: the one place that turns the layout
// above into pointers, for the buffer and for the frame writer alike.
struct TextureTarget {
    TextureHeader *header = nullptr;
    uint8_t *fullArea = nullptr;         // kFullAreaSize bytes
    uint8_t *rectAreas[kRectAreas] = {}; // rectAreaSize(area) bytes each
};

// The target inside a segment of kTextureSegmentSize bytes mapped at `segmentBase`.
inline TextureTarget textureTargetAt(uint8_t *segmentBase) {
    TextureTarget target;
    if (!segmentBase)
        return target;
    target.header = reinterpret_cast<TextureHeader *>(segmentBase + kTextureHeaderOffset);
    target.fullArea = segmentBase;
    for (int area = 0; area < kRectAreas; ++area)
        target.rectAreas[area] = segmentBase + rectAreaOffset(area);
    return target;
}

// Bytes of a width x height block of 4-byte pixels when each side is at most `side` (the side of
// the square area it is copied from), else -1. Sides come from the host (whole frames) or from
// the other process (descriptors) and may be anything: they are checked before they are
// multiplied, so no product can wrap and no check depends on one.
constexpr int64_t pixelBlockBytes(int32_t width, int32_t height, uint32_t side) {
    if (width < 0 || height < 0 || uint32_t(width) > side || uint32_t(height) > side)
        return -1;
    return int64_t(width) * int64_t(height) * 4;
}
static_assert(pixelBlockBytes(1024, 1024, kMaxTextureSide) == kFullAreaSize, "full area");
static_assert(pixelBlockBytes(INT32_MAX, INT32_MAX, kMaxTextureSide) == -1, "no wrap");

// Whether a descriptor read from the segment names a rectangle the host can use: its area
// exists, its sides fit that area and its place lies within one area side of the largest
// texture (blocks may pass the texture's edges; hosts clip them).
bool usableRect(const TextureRect &rect);

class TextureBuffer : public SharedBuffer {
  public:
    using SharedBuffer::SharedBuffer;

    bool open(const std::string &name);

    // Host side: copies the waiting whole frame (whatever the other arguments say), or unless
    // fullOnly the rectangle (group, index); group 1 index 1 releases the segment. Never reads
    // outside the segment's areas: oversized or bogus requests and descriptors copy nothing.
    void updateTexture(bool fullOnly, int32_t group, int32_t index, TextureUpdate *update);

    // Host side: the waiting frame's notice was dropped unread (KEL_ClearCommands), so nobody
    // will ask for the frame: release the segment (`pending` 0) so frames flow again. `full`
    // stays as it is, which tells the browser that a whole frame went untaken.
    void releaseUnannounced();

    // Browser side: direct access for the frame writer, under segmentLock().
    TextureHeader *header() const { return m_header; }
    uint8_t *fullArea() const { return m_full; }
    uint8_t *rectArea(int area) const { return m_rectAreas[area]; }

  private:
    uint8_t *m_full = nullptr;
    TextureHeader *m_header = nullptr;
    TextureRect *m_rects = nullptr;
    uint8_t *m_rectAreas[kRectAreas] = {};
};

} // namespace KEL
