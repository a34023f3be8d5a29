#include "UpdateSlots.h"

#include <algorithm>

namespace KEL {

namespace {

// Quarter-size slots are tried before half-size ones so that small changes stay small.
constexpr int kSearchOrder[kUpdateSlotCount] = {2, 3, 0, 1};

bool fits(int32_t width, int32_t height, const UpdateSlot &slot) {
    return width <= slot.capacityWidth && height <= slot.capacityHeight;
}

bool isInside(const UpdateSlot &inner, const UpdateSlot &outer) {
    return inner.minX >= outer.minX && inner.minY >= outer.minY && inner.maxX <= outer.maxX &&
           inner.maxY <= outer.maxY;
}

} // namespace

void UpdateSlots::reset(int textureWidth, int textureHeight) {
    for (int i = 0; i < kUpdateSlotCount; ++i) {
        UpdateSlot &slot = m_slots[i];
        const int divisor = i < kFirstQuarterSlot ? 2 : 4;
        slot.capacityWidth = textureWidth / divisor;
        slot.capacityHeight = textureHeight / divisor;
        empty(slot);
    }
}

bool UpdateSlots::place(const ChangeBox &box) {
    if (!box.used)
        return true;
    if (!merge(box) && !allocate(box))
        return false;
    dropCoveredQuarterSlots();
    return true;
}

bool UpdateSlots::anyUsed() const {
    return std::any_of(m_slots.begin(), m_slots.end(),
                       [](const UpdateSlot &slot) { return slot.used; });
}

bool UpdateSlots::merge(const ChangeBox &box) {
    for (int index : kSearchOrder) {
        UpdateSlot &slot = m_slots[index];
        if (!slot.used)
            continue;
        const int32_t minX = std::min(slot.minX, box.minX);
        const int32_t minY = std::min(slot.minY, box.minY);
        const int32_t maxX = std::max(slot.maxX, box.maxX);
        const int32_t maxY = std::max(slot.maxY, box.maxY);
        if (!fits(maxX - minX + 1, maxY - minY + 1, slot))
            continue;
        slot.minX = minX;
        slot.minY = minY;
        slot.maxX = maxX;
        slot.maxY = maxY;
        return true;
    }
    return false;
}

bool UpdateSlots::allocate(const ChangeBox &box) {
    for (int index : kSearchOrder) {
        UpdateSlot &slot = m_slots[index];
        if (slot.used || !fits(box.width(), box.height(), slot))
            continue;
        slot.used = true;
        slot.minX = box.minX;
        slot.minY = box.minY;
        slot.maxX = box.maxX;
        slot.maxY = box.maxY;
        return true;
    }
    return false;
}

void UpdateSlots::dropCoveredQuarterSlots() {
    for (int quarter = kFirstQuarterSlot; quarter < kUpdateSlotCount; ++quarter) {
        for (int half = 0; half < kFirstQuarterSlot; ++half) {
            if (m_slots[half].used && isInside(m_slots[quarter], m_slots[half])) {
                empty(m_slots[quarter]);
                break;
            }
        }
    }
}

void UpdateSlots::empty(UpdateSlot &slot) {
    slot.used = false;
    slot.minX = slot.minY = UpdateSlot::kEmptyMin;
    slot.maxX = slot.maxY = UpdateSlot::kEmptyMax;
}

} // namespace KEL
