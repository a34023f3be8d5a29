#include "DataBuffer.h"

#include "Log.h"
#include "RecordText.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

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
    int32_t slot = -1;
    {
        ScopedLock lock(m_lock);
        if (!lock)
            return -1;
        for (int i = kDataSlots - 1; i >= 0; --i) {
            if (m_table[i].inUse == 1 || dataSlotCapacity(i) < static_cast<uint32_t>(length))
                continue;
            m_table[i].inUse = 1;
            if (length > 0)
                std::memcpy(m_data[i], source, static_cast<size_t>(length));
            slot = i;
            break;
        }
    }
    // Logged outside the lock: the host's log callback may take its time.
    if (slot < 0 && static_cast<uint32_t>(length) <= dataSlotCapacity(0))
        noteFull(length);
    return slot;
}

// A full segment is almost always a receiver that does not free what it is sent, and every
// later payload fails the same way: the first failure says so, later ones are counted and
// reported at each power of ten, so the log stays short whatever the rate.
void DataBuffer::noteFull(int32_t length) {
    ++m_fullCount;
    bool report = m_fullCount == 1;
    for (uint64_t power = 10; power <= m_fullCount && !report; power *= 10)
        report = m_fullCount == power;
    if (!report)
        return;
    if (m_fullCount == 1)
        logMessage("DataBuffer full: " + m_name + ": no free slot for " + std::to_string(length) +
                   " bytes; payloads that their receiver does not take (KEL_CopyAndFree) keep "
                   "their slots");
    else
        logMessage("DataBuffer full: " + m_name + ": " + std::to_string(m_fullCount) +
                   " payloads refused so far");
}

bool DataBuffer::inUse(int32_t slot) {
    if (!m_table || slot < 0 || slot >= kDataSlots)
        return false;
    ScopedLock lock(m_lock);
    return lock && m_table[slot].inUse == 1;
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

std::u16string takeTextPayload(DataBuffer &buffer, int32_t slot, int32_t length) {
    // Checked before anything is allocated, so a bogus length never sizes a buffer;
    // copyAndFree checks the same again under the lock.
    if (!plausiblePayload(slot, length))
        return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(length) + 1);
    if (!buffer.copyAndFree(slot, bytes.data(), length))
        return {};
    return decodeTextPayload(bytes.data(), static_cast<size_t>(length));
}

int32_t storeTextPayload(DataBuffer &buffer, const std::u16string &text, int32_t *byteLength) {
    const size_t bytes = text.size() * 2;
    if (byteLength)
        *byteLength = static_cast<int32_t>(std::min<size_t>(bytes, INT32_MAX & ~1u));
    // No slot holds more than the largest class, so there is nothing to encode.
    if (bytes > dataSlotCapacity(0))
        return -1;
    const std::vector<uint8_t> encoded = encodeTextPayload(text, false);
    return buffer.allocateAndCopy(encoded.data(), static_cast<int32_t>(bytes));
}

} // namespace KEL
