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

bool usableRect(const TextureRect &rect) {
    if (rect.valid != 1 || rect.group < 0 || rect.group > 1 || rect.index < 0 || rect.index > 1)
        return false;
    const int area = 2 * rect.group + rect.index;
    if (pixelBlockBytes(rect.width, rect.height, rectAreaSide(area)) < 0)
        return false;
    // Blocks are of fixed size and may pass the texture's edges (y is negative when a block
    // passes the top), so hosts clip them; but a place far outside the texture is no block
    // the browser writes, and keeping it near lets a host add sides without overflow.
    const int32_t side = int32_t(rectAreaSide(area));
    const int32_t limit = int32_t(kMaxTextureSide);
    return rect.x >= -side && rect.x <= limit && rect.y >= -side && rect.y <= limit;
}

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
        const int32_t width = update->width, height = update->height;
        const int64_t bytes = pixelBlockBytes(width, height, kMaxTextureSide);
        if (bytes < 0 || (bytes > 0 && !update->pixels))
            return;
        // A 0 x n frame copies nothing: a host may pass no buffer for it, and memcpy may not
        // be given a null pointer even for no bytes.
        if (bytes > 0)
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
    for (const TextureRect &shared : header.rects) {
        // Checked and used as one private copy: a peer that writes without the lock cannot
        // change a field between its check and its use.
        TextureRect rect;
        std::memcpy(&rect, &shared, sizeof rect);
        asm volatile("" ::: "memory");
        if (rect.valid != 1 || rect.group != group || rect.index != index)
            continue;
        // A descriptor that does not fit its area is not trusted; a later one may still match.
        if (!usableRect(rect))
            continue;
        const int64_t bytes = pixelBlockBytes(rect.width, rect.height, rectAreaSide(area));
        if (bytes > 0 && !update->pixels)
            continue;
        update->updated = 1;
        update->x = rect.x;
        update->y = rect.y;
        update->width = rect.width;
        update->height = rect.height;
        if (bytes > 0)
            std::memcpy(update->pixels, m_rectAreas[area], size_t(bytes));
        return;
    }
}

void TextureBuffer::releaseUnannounced() {
    if (!m_header)
        return;
    ScopedLock lock(m_lock);
    if (lock)
        m_header->pending = 0;
}

} // namespace KEL
