#include "FrameTracker.h"

#include "ChangeScan.h"

#include <algorithm>

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
        const std::size_t bytes = static_cast<std::size_t>(textureWidth) * textureHeight * 4;
        // Fresh zeroed buffers; the old ones are released rather than kept at their old size.
        std::vector<uint8_t>(bytes).swap(m_texture);
        std::vector<uint8_t>(bytes).swap(m_lastFrame);
    } else {
        clearFrames();
    }
    resetUpdateSlots();
    return textureChanged;
}

void FrameTracker::clearFrames() {
    std::fill(m_texture.begin(), m_texture.end(), 0);
    std::fill(m_lastFrame.begin(), m_lastFrame.end(), 0);
}

void FrameTracker::resetUpdateSlots() {
    m_slots.reset(m_textureWidth, m_textureHeight);
}

bool FrameTracker::trackFrame(const PagePixels &page) {
    if (!isSized() || !page.bits || page.width < m_pageWidth || page.height < m_pageHeight ||
        page.bytesPerLine < static_cast<std::ptrdiff_t>(m_pageWidth) * 4)
        return false;
    const PagePixels visible{page.bits, page.bytesPerLine, m_pageWidth, m_pageHeight};
    const bool changed = !convertPageAndCompare(visible, workingTexture(), m_lastFrame.data());
    if (changed)
        recordChange();
    if (m_dirty) {
        // An unchanged frame while a delivery waits equals the last frame already.
        if (changed)
            m_texture.swap(m_lastFrame);
    } else {
        countIdleFrame();
    }
    return changed;
}

void FrameTracker::trackUnchangedFrame() {
    if (isSized() && !m_dirty)
        countIdleFrame();
}

void FrameTracker::recordChange() {
    QuadrantBoxes boxes{};
    // A whole frame goes next anyway, so where this one changed does not matter.
    if (!m_fullFramePending) {
        boxes = scanChangedQuadrants(m_texture.data(), m_lastFrame.data(), m_textureWidth,
                                     m_textureHeight, m_pageWidth);
        if (std::any_of(boxes.begin(), boxes.end(), [](const ChangeBox &b) { return b.used; }))
            m_dirty = true;
    }
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

} // namespace KEL
