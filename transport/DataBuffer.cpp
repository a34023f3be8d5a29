#include "DataBuffer.h"

#include <cstring>

namespace KEL {

bool DataBuffer::open(const std::string &name) {
    m_table = nullptr;
    return openAndLayOut(name, kDataSegmentSize, [this] {
        m_table = reinterpret_cast<DataSlot *>(m_base);
        for (int i = 0; i < kDataSlots; ++i) {
            m_table[i].capacity = dataSlotCapacity(i);
            m_data[i] = m_base + dataSlotOffset(i);
        }
    });
}

// Capacities are checked against the layout, not against the table in the segment: the other
// process can write the table, and a bigger number there must not let a copy run past the slot.
int32_t DataBuffer::allocateAndCopy(const void *source, int32_t length) {
    if (!m_table || length < 0 || (length > 0 && !source))
        return -1;
    ScopedLock lock(m_lock);
    if (!lock)
        return -1;
    for (int i = kDataSlots - 1; i >= 0; --i) {
        if (m_table[i].inUse == 1 || dataSlotCapacity(i) < static_cast<uint32_t>(length))
            continue;
        m_table[i].inUse = 1;
        if (length > 0)
            std::memcpy(m_data[i], source, static_cast<size_t>(length));
        return i;
    }
    return -1;
}

bool DataBuffer::copyAndFree(int32_t slot, void *destination, int32_t length) {
    if (!m_table || slot < 0 || slot >= kDataSlots || length < 0 || (length > 0 && !destination))
        return false;
    ScopedLock lock(m_lock);
    if (!lock)
        return false;
    DataSlot &entry = m_table[slot];
    if (entry.inUse != 1 || dataSlotCapacity(slot) < static_cast<uint32_t>(length))
        return false;
    entry.inUse = 0;
    if (length > 0)
        std::memcpy(destination, m_data[slot], static_cast<size_t>(length));
    return true;
}

} // namespace KEL
