#pragma once
// What a web view knows about its frames, without Qt: the newest converted frame, the last one
// detected as changed, the update slots, and the switches that decide whether the next delivery
// goes whole or as rectangles.
//
// Use from the browser's GUI thread only. Per tick the view paints its page, then calls
// trackFrame(); the view tick calls deliver() on the one view it serves, under the texture
// segment's lock.

#include "ChangeScan.h"
#include "FrameDelivery.h"
#include "FrameMemory.h"
#include "PixelConversion.h"
#include "UpdateSlots.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace KEL {

class TextureBuffer;

class FrameTracker {
  public:
    // Unchanged frames in a row that end an idle cycle, after the first one that starts it.
    static constexpr int kIdleFrames = 10;

    explicit FrameTracker(bool partialUpdates = true) : m_partialUpdates(partialUpdates) {}

    // Sizes the frames for a page of pageWidth x pageHeight pixels in a texture of
    // textureWidth x textureHeight (each side clamped to 1..1024, the page to the texture).
    // The last frame is reallocated only when the texture size changes, but is zeroed and the
    // slots emptied every time, so the first painted frame after a resize counts as changed
    // unless it is wholly transparent. Returns whether the texture size changed. dirty and
    // fullFramePending are kept.
    bool resize(int pageWidth, int pageHeight, int textureWidth, int textureHeight);
    // Zeroes the last frame.
    void clearFrames();
    // Empties every slot, with capacities for the current texture size.
    void resetUpdateSlots();

    // Converts the painted page and records what changed since the last detected frame. `page`
    // must hold at least the page size given to resize(); otherwise nothing happens and false
    // is returned. Returns whether this frame differed from the last detected one.
    // One pass over the page: each row is compared with the last frame before anything is
    // converted; only a row that differs is converted, scanned for its changed columns and
    // written into the last frame.
    bool trackFrame(const PagePixels &page);
    // The same when only page rows firstRow..endRow-1 can differ from the page last tracked
    // (only they were painted): the other rows are not looked at.
    bool trackFrameRows(const PagePixels &page, int firstRow, int endRow);

    // Records a render that is known to give the same picture as the last one (nothing on the
    // page was invalidated), without converting or comparing: exactly what trackFrame() does
    // with an unchanged frame.
    void trackUnchangedFrame();

    // Writes the pending delivery into the texture segment (the caller holds its lock): the
    // whole last frame when fullFramePending is set (the slots are then emptied), else one
    // block per used slot (the slots stay as they are: they keep covering everything since the
    // last whole frame). Clears dirty and fullFramePending.
    void deliver(const TextureTarget &target, bool debugPartialUpdates);
    // The same into a mapped texture segment, under its lock. False when the lock could not be
    // taken (the frame stays waiting).
    bool deliverInto(TextureBuffer &buffer, bool debugPartialUpdates);

    // The host never heard of the last delivery (its notice could not be posted, and the
    // delivery was withdrawn): offer a whole frame next, which covers everything since the last
    // frame the host did get.
    void withdrawDelivery() {
        if (!isSized())
            return;
        m_dirty = true;
        m_fullFramePending = true;
    }

    void setPartialUpdates(bool on) { m_partialUpdates = on; }
    bool partialUpdates() const { return m_partialUpdates; }
    // A frame waits for delivery.
    bool dirty() const { return m_dirty; }
    // The next delivery must be a whole frame.
    bool fullFramePending() const { return m_fullFramePending; }
    int idleCountdown() const { return m_idleCountdown; }
    const UpdateSlots &updateSlots() const { return m_slots; }

    bool isSized() const { return m_textureWidth > 0; }
    int pageWidth() const { return m_pageWidth; }
    int pageHeight() const { return m_pageHeight; }
    int textureWidth() const { return m_textureWidth; }
    int textureHeight() const { return m_textureHeight; }
    // The newest frame detected as changed, texture layout, frameBytes() long (empty until
    // sized). This is what a delivery sends.
    const uint8_t *lastFrame() const { return m_lastFrame.data(); }
    std::size_t frameBytes() const { return m_lastFrame.size(); }

  private:
    // Brings the last frame up to `page` and returns whether it changed; the boxes around the
    // changes are gathered unless a whole frame goes next anyway.
    bool updateLastFrame(const PagePixels &page, int firstRow, int endRow, QuadrantBoxes &boxes);
    void recordChange(const QuadrantBoxes &boxes);
    void placeBoxes(const QuadrantBoxes &boxes);
    void countIdleFrame();
    FrameView lastFrameView() const {
        return {m_lastFrame.data(), m_textureWidth, m_textureHeight};
    }

    // The only whole frame a view keeps. A changed frame always becomes the last frame (it is
    // dirty then), so the new picture is written straight into it, row by row. Outside the
    // page it holds zero: zeroed on every resize and never written there.
    FrameMemory m_lastFrame;
    // One converted row, while it is compared with the last frame's.
    std::vector<uint8_t> m_row;
    UpdateSlots m_slots;
    int m_pageWidth = 0;
    int m_pageHeight = 0;
    int m_textureWidth = 0;
    int m_textureHeight = 0;
    int m_idleCountdown = 0;
    bool m_partialUpdates;
    bool m_dirty = false;
    bool m_fullFramePending = false;
};

} // namespace KEL
