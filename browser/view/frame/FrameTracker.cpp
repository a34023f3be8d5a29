#include "FrameTracker.h"

#include "TextureBuffer.h"

#include <algorithm>
#include <cstring>

namespace KEL {

bool FrameTracker::resize(int pageWidth, int pageHeight, int textureWidth, int textureHeight) {
    const int maxSide = static_cast<int>(kMaxTextureSide);
    textureWidth = std::clamp(textureWidth, 1, maxSide);
    textureHeight = std::clamp(textureHeight, 1, maxSide);
    m_pageWidth = std::clamp(pageWidth, 0, textureWidth);
    m_pageHeight = std::clamp(pageHeight, 0, textureHeight);

    const bool textureChanged = textureWidth != m_textureWidth || textureHeight != m_textureHeight;
    if (textureChanged) {
        m_textureWidth = textureWidth;
        m_textureHeight = textureHeight;
        // Fresh zeroed memory; the old frame is released rather than kept at its old size.
        m_lastFrame.allocate(static_cast<std::size_t>(textureWidth) * textureHeight * 4);
    } else {
        clearFrames();
    }
    resetUpdateSlots();
    return textureChanged;
}

void FrameTracker::clearFrames() {
    m_lastFrame.clear();
}

void FrameTracker::resetUpdateSlots() {
    m_slots.reset(m_textureWidth, m_textureHeight);
}

bool FrameTracker::trackFrame(const PagePixels &page) {
    return trackFrameRows(page, 0, m_pageHeight);
}

bool FrameTracker::trackFrameRows(const PagePixels &page, int firstRow, int endRow) {
    if (!isSized() || !page.bits || page.width < m_pageWidth || page.height < m_pageHeight ||
        page.bytesPerLine < static_cast<std::ptrdiff_t>(m_pageWidth) * 4)
        return false;
    QuadrantBoxes boxes{};
    const bool changed = updateLastFrame(page, std::clamp(firstRow, 0, m_pageHeight),
                                         std::clamp(endRow, 0, m_pageHeight), boxes);
    if (changed)
        recordChange(boxes);
    // A changed frame is always dirty; an unchanged one while a delivery waits equals the last
    // frame already.
    if (!m_dirty)
        countIdleFrame();
    return changed;
}

bool FrameTracker::updateLastFrame(const PagePixels &page, int firstRow, int endRow,
                                   QuadrantBoxes &boxes) {
    const std::size_t rowBytes = static_cast<std::size_t>(m_textureWidth) * 4;
    const std::size_t pageRowBytes = static_cast<std::size_t>(m_pageWidth) * 4;
    m_row.resize(pageRowBytes);
    bool changed = false;
    for (int r = firstRow; r < endRow; ++r) {
        const uint8_t *source = page.bits + page.bytesPerLine * r;
        // Page row r is texture row (height - 1 - r): the texture starts with the bottom row.
        const int y = m_textureHeight - 1 - r;
        uint8_t *frameRow = m_lastFrame.data() + rowBytes * static_cast<std::size_t>(y);
        if (pageRowEquals(source, frameRow, m_pageWidth))
            continue;
        changed = true;
        convertPageRow(source, m_row.data(), m_pageWidth);
        // A whole frame goes next anyway, so where this one changed does not matter.
        if (!m_fullFramePending)
            includeChangedRow(m_row.data(), frameRow, y, m_textureWidth, m_textureHeight,
                              m_pageWidth, boxes);
        std::memcpy(frameRow, m_row.data(), pageRowBytes);
    }
    return changed;
}

void FrameTracker::trackUnchangedFrame() {
    if (isSized() && !m_dirty)
        countIdleFrame();
}

void FrameTracker::recordChange(const QuadrantBoxes &boxes) {
    if (!m_fullFramePending &&
        std::any_of(boxes.begin(), boxes.end(), [](const ChangeBox &b) { return b.used; }))
        m_dirty = true;
    if (m_dirty && !m_partialUpdates)
        m_fullFramePending = true;
    if (m_dirty && !m_fullFramePending)
        placeBoxes(boxes);
}

void FrameTracker::placeBoxes(const QuadrantBoxes &boxes) {
    for (const ChangeBox &box : boxes) {
        if (!m_slots.place(box)) {
            m_fullFramePending = true;
            return;
        }
    }
}

// After a run of unchanged frames the host gets one whole frame, and the slots start small
// again instead of growing for ever.
void FrameTracker::countIdleFrame() {
    if (m_idleCountdown == 0) {
        m_idleCountdown = kIdleFrames;
        return;
    }
    if (--m_idleCountdown == 0 && m_slots.anyUsed()) {
        m_dirty = true;
        resetUpdateSlots();
        // The frame was unchanged, so the last frame already holds it.
        m_fullFramePending = true;
    }
}

void FrameTracker::deliver(const TextureTarget &target, bool debugPartialUpdates) {
    if (target.header) {
        beginDelivery(*target.header, m_textureWidth, m_textureHeight);
        if (m_fullFramePending) {
            if (writeWholeFrame(lastFrameView(), target.fullArea))
                target.header->full = 1;
            resetUpdateSlots();
        } else {
            writeRectangles(lastFrameView(), m_slots, target, debugPartialUpdates);
        }
    }
    m_dirty = false;
    m_fullFramePending = false;
}

bool FrameTracker::deliverInto(TextureBuffer &buffer, bool debugPartialUpdates) {
    if (!buffer.base())
        return false;
    ScopedLock lock(buffer.segmentLock());
    if (!lock)
        return false;
    deliver(textureTargetAt(buffer.base()), debugPartialUpdates);
    return true;
}

} // namespace KEL
