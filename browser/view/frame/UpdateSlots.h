#pragma once
// The four update slots of a view: fixed-size blocks that together cover everything that changed
// since the view's last whole frame. Slots 0 and 1 are half the texture in each direction,
// slots 2 and 3 a quarter; slot 2 * group + index travels in rectangle area group * 2 + index.

#include "ChangeScan.h"

#include <array>
#include <cstdint>

namespace KEL {

struct UpdateSlot {
    bool used = false;
    // Inclusive bounds of what changed, in the coordinates of ChangeBox.
    int32_t minX = kEmptyMin;
    int32_t minY = kEmptyMin;
    int32_t maxX = kEmptyMax;
    int32_t maxY = kEmptyMax;
    // Size of the block that is delivered for this slot, whatever the bounds.
    int32_t capacityWidth = 0;
    int32_t capacityHeight = 0;

    static constexpr int32_t kEmptyMin = 99999;
    static constexpr int32_t kEmptyMax = -1;
};

constexpr int kUpdateSlotCount = 4;
constexpr int kFirstQuarterSlot = 2;

class UpdateSlots {
  public:
    // Empties every slot and sets the capacities for a texture of this size.
    void reset(int textureWidth, int textureHeight);

    // Records a changed box: grows a used slot if the union still fits its capacity (quarter
    // slots first), else takes the first empty slot it fits (quarter slots first). False when
    // neither works; the slots are then unchanged.
    bool place(const ChangeBox &box);

    bool anyUsed() const;
    const UpdateSlot &operator[](int index) const { return m_slots[index]; }

  private:
    bool merge(const ChangeBox &box);
    bool allocate(const ChangeBox &box);
    // A quarter block inside a half block would only deliver the same pixels twice.
    void dropCoveredQuarterSlots();
    void empty(UpdateSlot &slot);

    std::array<UpdateSlot, kUpdateSlotCount> m_slots{};
};

} // namespace KEL
