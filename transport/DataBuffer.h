#pragma once
// The data segment: 255 payload slots in eight size classes (1 MiB down to 8 KiB), for texts
// and images that do not fit into a command record.
//
// Layout: slot table of 255 DataSlot entries at 0, slot data from 2040 on, largest class first.

#include "SharedBuffer.h"

#include <cstdint>
#include <string>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace KEL {

struct DataSlot {
    uint8_t inUse; // 1 = holds a payload not yet collected
    uint8_t reserved[3];
    uint32_t capacity;
};
static_assert(sizeof(DataSlot) == 8, "DataSlot layout");
static_assert(offsetof(DataSlot, capacity) == 4, "DataSlot layout");
static_assert(std::is_trivially_copyable<DataSlot>::value, "DataSlot is shared memory");

constexpr int kDataSlots = 255;
constexpr uint32_t kDataTableSize = kDataSlots * sizeof(DataSlot);
constexpr uint32_t kDataSegmentSize = 8390648;
static_assert(kDataTableSize == 2040, "data slot table size");
static_assert(kDataTableSize + 8 * (1u << 20) == kDataSegmentSize, "data segment size");

// Capacity of a slot, from its index alone (class c holds 2^c slots of 1 MiB >> c).
constexpr uint32_t dataSlotCapacity(int slot) {
    int cls = 0;
    while (slot >= (2 << cls) - 1)
        ++cls;
    return (1u << 20) >> cls;
}
// Offset of a slot's data in the segment.
constexpr uint32_t dataSlotOffset(int slot) {
    uint32_t offset = kDataTableSize;
    for (int i = 0; i < slot; ++i)
        offset += dataSlotCapacity(i);
    return offset;
}
static_assert(dataSlotCapacity(0) == 1048576 && dataSlotCapacity(1) == 524288, "slot classes");
static_assert(dataSlotCapacity(126) == 16384 && dataSlotCapacity(127) == 8192, "slot classes");
static_assert(dataSlotCapacity(254) == 8192, "slot classes");
static_assert(dataSlotOffset(1) == 1050616 && dataSlotOffset(3) == 2099192, "slot offsets");
static_assert(dataSlotOffset(7) == 3147768 && dataSlotOffset(15) == 4196344, "slot offsets");
static_assert(dataSlotOffset(31) == 5244920 && dataSlotOffset(63) == 6293496, "slot offsets");
static_assert(dataSlotOffset(127) == 7342072, "slot offsets");
static_assert(dataSlotOffset(254) + dataSlotCapacity(254) == kDataSegmentSize, "slot offsets");

class DataBuffer : public SharedBuffer {
  public:
    using SharedBuffer::SharedBuffer;

    // Opens the segment and writes every slot's capacity into the table.
    bool open(const std::string &name);

    // Stores `length` bytes in the smallest free class that fits (highest free slot within it).
    // Returns the slot index, or -1 (no slot fits, negative length, lock not taken).
    int32_t allocateAndCopy(const void *source, int32_t length);

    // Copies `length` bytes out of slot `slot` and frees it. False for a bad index, a free slot,
    // a length beyond the slot's capacity or negative, or when the lock was not taken.
    bool copyAndFree(int32_t slot, void *destination, int32_t length);

    // Whether a slot holds a payload not yet collected (false for a bad index or no lock).
    bool inUse(int32_t slot);

  private:
    void noteFull(int32_t length);

    DataSlot *m_table = nullptr;
    uint64_t m_fullCount = 0; // allocations refused for want of a free slot
    uint8_t *m_data[kDataSlots] = {};
};

// Moves a text payload out of the buffer (the slot is freed) and decodes it. A slot index
// outside the table, a negative length, a length above the slot's capacity or a slot that
// cannot be read (not in use, lock not taken) yield an empty text and leave the slot as it was.
std::u16string takeTextPayload(DataBuffer &buffer, int32_t slot, int32_t length);

// Stores UTF-16 text (no terminating zero). Returns the slot index, or -1 when no slot was
// free; `byteLength` receives 2 x the number of units either way.
int32_t storeTextPayload(DataBuffer &buffer, const std::u16string &text, int32_t *byteLength);

} // namespace KEL
