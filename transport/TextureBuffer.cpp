#include "TextureBuffer.h"

#include <cstring>

namespace KEL {

bool TextureBuffer::open(const std::string &name) {
    m_header = nullptr;
    return openAndLayOut(name, kTextureSegmentSize, [this] {
        const TextureTarget target = textureTargetAt(m_base);
        m_full = target.fullArea;
        for (int area = 0; area < kRectAreas; ++area)
            m_rectAreas[area] = target.rectAreas[area];
        m_header = target.header;
        m_rects = m_header->rects;
    });
}

namespace {

// Byte count of a width x height block of 4-byte pixels, or -1 when it is negative or larger
// than `limit`. Sizes come from the host (whole frames) or from the browser (descriptors).
int64_t blockBytes(int32_t width, int32_t height, uint32_t limit) {
    if (width < 0 || height < 0)
        return -1;
    int64_t bytes = int64_t(width) * int64_t(height) * 4;
    return bytes <= int64_t(limit) ? bytes : -1;
}

} // namespace

void TextureBuffer::updateTexture(bool fullOnly, int32_t group, int32_t index,
                                  TextureUpdate *update) {
    if (!update)
        return;
    update->updated = 0;
    if (!m_header)
        return;
    ScopedLock lock(m_lock);
    if (!lock)
        return;
    TextureHeader &header = *m_header;
    if (header.full == 1) {
        const int64_t bytes = blockBytes(update->width, update->height, kFullAreaSize);
        if (bytes < 0 || (bytes > 0 && !update->pixels))
            return;
        std::memcpy(update->pixels, m_full, size_t(bytes));
        update->updated = 1;
        header.pending = 0;
        header.full = 0;
        return;
    }
    if (fullOnly)
        return;
    if (group == 1 && index == 1)
        header.pending = 0;
    if (group < 0 || group > 1 || index < 0 || index > 1)
        return;
    const int area = 2 * group + index;
    for (const TextureRect &rect : header.rects) {
        if (rect.valid != 1 || rect.group != group || rect.index != index)
            continue;
        const int64_t bytes = blockBytes(rect.width, rect.height, rectAreaSize(area));
        if (bytes < 0 || (bytes > 0 && !update->pixels))
            continue; // a descriptor that does not fit its area is not trusted
        update->updated = 1;
        update->x = rect.x;
        update->y = rect.y;
        update->width = rect.width;
        update->height = rect.height;
        std::memcpy(update->pixels, m_rectAreas[area], size_t(bytes));
        return;
    }
}

} // namespace KEL
