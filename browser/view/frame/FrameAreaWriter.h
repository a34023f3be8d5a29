#pragma once
// Writes a view's frames into its frame area (FrameArea.h): from the painted page image and the
// rectangles that changed in it, whatever engine painted it. GUI thread only.
//
// Of the three slots, the one written next holds a frame a few numbers old; only what changed
// since that frame is converted into it (the slot's own frame is remembered, and the changes of
// the last kHistory frames). The rectangles published with a frame reach back to the frame the
// host says it took last, when that is known, so a host that skipped frames still uploads only
// what changed for it.

#include "FrameArea.h"
#include "PixelConversion.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace KEL {

// A rectangle of page pixels, rows counted from the top.
struct PageRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Merges `rects` until at most `limit` remain, each time the pair whose bounding rectangle
// adds the least area; empty rectangles are dropped first.
std::vector<PageRect> mergeRects(std::vector<PageRect> rects, size_t limit);

class FrameAreaWriter {
  public:
    static constexpr uint32_t kHistory = 16;

    explicit FrameAreaWriter(std::string controlName) : m_area(std::move(controlName)) {}

    bool ready() const { return m_area.ready(); }
    // Publishes `page` as the next frame. `changed` lists what differs from the previous frame
    // (page coordinates, clipped here), ignored when `whole`; a page of another size than the
    // previous frame counts as whole. A whole page is compared with the previous frame (still
    // in its slot) and reported by what really changed: a request that repaints a view whole
    // then costs the host only the change. Returns the new frame's number, 0 when the area could
    // not hold the frame (logged).
    uint32_t write(const PagePixels &page, const std::vector<PageRect> &changed, bool whole);
    uint32_t number() const { return m_number; }
    uint32_t generation() const { return m_area.generation(); }

  private:
    struct Change {
        uint32_t number;
        bool whole;
        std::vector<PageRect> rects;
    };
    // What changed after frame `since` up to the newest, or false when not known (too old,
    // another size, nothing yet).
    bool changesAfter(uint32_t since, std::vector<PageRect> &rects) const;
    void copyRect(const PagePixels &page, uint8_t *slot, const PageRect &rect) const;
    // The bounding rectangle of what differs between `page` and the previous frame, or false
    // when the previous frame is not at hand.
    bool differenceFromPrevious(const PagePixels &page, PageRect *difference) const;

    FrameAreaPublisher m_area;
    uint32_t m_number = 0;
    int m_width = 0;
    int m_height = 0;
    std::deque<Change> m_history;
    uint32_t m_slotFrame[kFrameSlots] = {}; // the frame each slot holds, 0 for none
};

} // namespace KEL
