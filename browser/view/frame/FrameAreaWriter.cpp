#include "FrameAreaWriter.h"

#include <algorithm>
#include <climits>

namespace KEL {

namespace {

PageRect unite(const PageRect &a, const PageRect &b) {
    const int left = std::min(a.x, b.x), top = std::min(a.y, b.y);
    const int right = std::max(a.x + a.width, b.x + b.width);
    const int bottom = std::max(a.y + a.height, b.y + b.height);
    return PageRect{left, top, right - left, bottom - top};
}

int64_t area(const PageRect &r) {
    return int64_t(r.width) * r.height;
}

PageRect clipTo(const PageRect &r, int width, int height) {
    const int64_t left = std::max(r.x, 0), top = std::max(r.y, 0);
    const int64_t right = std::min<int64_t>(int64_t(r.x) + r.width, width);
    const int64_t bottom = std::min<int64_t>(int64_t(r.y) + r.height, height);
    if (right <= left || bottom <= top)
        return PageRect{};
    return PageRect{int(left), int(top), int(right - left), int(bottom - top)};
}

} // namespace

std::vector<PageRect> mergeRects(std::vector<PageRect> rects, size_t limit) {
    rects.erase(std::remove_if(rects.begin(), rects.end(),
                               [](const PageRect &r) { return r.width <= 0 || r.height <= 0; }),
                rects.end());
    while (rects.size() > limit && rects.size() > 1) {
        size_t bestA = 0, bestB = 1;
        int64_t bestCost = INT64_MAX;
        for (size_t a = 0; a < rects.size(); ++a) {
            for (size_t b = a + 1; b < rects.size(); ++b) {
                const int64_t cost =
                    area(unite(rects[a], rects[b])) - area(rects[a]) - area(rects[b]);
                if (cost < bestCost) {
                    bestCost = cost;
                    bestA = a;
                    bestB = b;
                }
            }
        }
        rects[bestA] = unite(rects[bestA], rects[bestB]);
        rects.erase(rects.begin() + std::ptrdiff_t(bestB));
    }
    return rects;
}

bool FrameAreaWriter::changesAfter(uint32_t since, std::vector<PageRect> &rects) const {
    rects.clear();
    if (since == 0 || since >= m_number || m_number - since > m_history.size())
        return false;
    for (const Change &change : m_history) {
        if (change.number <= since)
            continue;
        if (change.whole)
            return false;
        rects.insert(rects.end(), change.rects.begin(), change.rects.end());
    }
    return true;
}

void FrameAreaWriter::copyRect(const PagePixels &page, uint8_t *slot, const PageRect &rect) const {
    const std::ptrdiff_t stride = std::ptrdiff_t(page.width) * 4;
    for (int row = rect.y; row < rect.y + rect.height; ++row) {
        const uint8_t *from = page.bits + row * page.bytesPerLine + std::ptrdiff_t(rect.x) * 4;
        uint8_t *to = slot + (page.height - 1 - row) * stride + std::ptrdiff_t(rect.x) * 4;
        convertPageRow(from, to, rect.width);
    }
}

bool FrameAreaWriter::differenceFromPrevious(const PagePixels &page, PageRect *difference) const {
    const int previous = m_area.newestSlot();
    if (previous < 0 || m_number == 0 || m_slotFrame[previous] != m_number)
        return false;
    const uint8_t *reference = m_area.slotPixels(previous);
    const std::ptrdiff_t stride = std::ptrdiff_t(page.width) * 4;
    int top = -1, bottom = -1, left = page.width, right = 0;
    for (int row = 0; row < page.height; ++row) {
        const uint8_t *source = page.bits + row * page.bytesPerLine;
        const uint8_t *target = reference + (page.height - 1 - row) * stride;
        if (pageRowEquals(source, target, page.width))
            continue;
        if (top < 0)
            top = row;
        bottom = row;
        // Narrow the columns only as far as this row is not already covered.
        int first = 0;
        while (first < left && pageRowEquals(source + first * 4, target + first * 4, 1))
            ++first;
        int last = page.width - 1;
        while (last >= right && pageRowEquals(source + last * 4, target + last * 4, 1))
            --last;
        left = std::min(left, first);
        right = std::max(right, last + 1);
    }
    *difference = top < 0 ? PageRect{} : PageRect{left, top, right - left, bottom - top + 1};
    return true;
}

uint32_t FrameAreaWriter::write(const PagePixels &page, const std::vector<PageRect> &changed,
                                bool whole) {
    if (!m_area.ready() || !page.bits || page.width < 1 || page.height < 1)
        return 0;
    if (!m_area.reserve(page.width, page.height))
        return 0;
    if (m_area.takeGenerationChanged())
        std::fill(std::begin(m_slotFrame), std::end(m_slotFrame), 0u);
    std::vector<PageRect> compared;
    if (page.width != m_width || page.height != m_height) {
        whole = true;
        m_width = page.width;
        m_height = page.height;
    } else if (whole) {
        PageRect difference;
        if (differenceFromPrevious(page, &difference)) {
            whole = false;
            compared.push_back(difference);
        }
    }
    const std::vector<PageRect> &changes = whole || compared.empty() ? changed : compared;
    const uint32_t number = m_number + 1 == 0 ? 1 : m_number + 1;
    Change change{number, whole, {}};
    if (!whole) {
        for (const PageRect &rect : changes) {
            const PageRect clipped = clipTo(rect, page.width, page.height);
            if (clipped.width > 0)
                change.rects.push_back(clipped);
        }
    }
    m_history.push_back(std::move(change));
    while (m_history.size() > kHistory)
        m_history.pop_front();
    m_number = number;

    // Into the slot: what changed since the frame it holds, or everything.
    const int slot = m_area.freeSlot();
    uint8_t *pixels = m_area.slotPixels(slot);
    std::vector<PageRect> toCopy;
    if (changesAfter(m_slotFrame[slot], toCopy)) {
        for (const PageRect &rect : mergeRects(std::move(toCopy), 64))
            copyRect(page, pixels, rect);
    } else {
        copyRect(page, pixels, PageRect{0, 0, page.width, page.height});
    }

    FrameSlot &descriptor = m_area.slotDescriptor(slot);
    descriptor.width = page.width;
    descriptor.height = page.height;
    descriptor.stride = page.width * 4;
    descriptor.number = number;
    // Reach back to the frame the host has, if it says one this side still knows; else to the
    // previous frame.
    uint32_t since = m_area.hostTaken();
    std::vector<PageRect> reported;
    bool known = changesAfter(since, reported);
    if (!known) {
        since = number - 1;
        known = changesAfter(since, reported);
    }
    descriptor.changesSince = since;
    if (!known) {
        descriptor.rectCount = -1;
        std::fill(std::begin(descriptor.rects), std::end(descriptor.rects), FrameRect{0, 0, 0, 0});
    } else {
        const std::vector<PageRect> merged = mergeRects(std::move(reported), kMaxFrameRects);
        descriptor.rectCount = int32_t(merged.size());
        for (int i = 0; i < kMaxFrameRects; ++i) {
            FrameRect out{0, 0, 0, 0};
            if (size_t(i) < merged.size()) {
                const PageRect &r = merged[size_t(i)];
                out = FrameRect{r.x, page.height - r.y - r.height, r.width, r.height};
            }
            descriptor.rects[i] = out;
        }
    }
    m_area.publish(slot, number);
    m_slotFrame[slot] = number;
    return number;
}

} // namespace KEL
