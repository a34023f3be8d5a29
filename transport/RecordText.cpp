#include "RecordText.h"

#include "DataBuffer.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace KEL {

std::u16string readStringArg(const Command &command, int index) {
    std::u16string text;
    if (index < 0 || index >= kStrArgCount)
        return text;
    const uint16_t *units = command.strArgs[index];
    for (int i = 0; i < kStrArgUnits && units[i] != 0; ++i)
        text.push_back(static_cast<char16_t>(units[i]));
    return text;
}

void writeStringArg(Command &command, int index, const std::u16string &text) {
    if (index < 0 || index >= kStrArgCount)
        return;
    uint16_t *units = command.strArgs[index];
    std::memset(units, 0, sizeof command.strArgs[index]);
    const size_t count = std::min<size_t>(text.size(), kBrowserStrArgUnits);
    for (size_t i = 0; i < count; ++i)
        units[i] = static_cast<uint16_t>(text[i]);
}

std::u16string decodeTextPayload(const uint8_t *bytes, size_t length) {
    std::u16string text;
    if (!bytes)
        return text;
    const size_t units = length / 2;
    text.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        const auto unit = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return text;
}

std::u16string takeTextPayload(DataBuffer &buffer, int32_t slot, int32_t length) {
    // Checked here, before anything is allocated, so a bogus length from the host never sizes
    // a buffer; copyAndFree checks the same again under the lock.
    if (slot < 0 || slot >= kDataSlots || length < 0 ||
        static_cast<uint32_t>(length) > dataSlotCapacity(slot))
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
    std::vector<uint8_t> encoded(bytes + 1);
    for (size_t i = 0; i < text.size(); ++i) {
        encoded[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        encoded[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return buffer.allocateAndCopy(encoded.data(), static_cast<int32_t>(bytes));
}

} // namespace KEL
