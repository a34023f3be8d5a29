#include "RecordText.h"

#include "DataBuffer.h"

#include <algorithm>
#include <cstring>

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

void writeStringArg(Command &command, int index, const std::u16string &text, size_t maxUnits) {
    if (index < 0 || index >= kStrArgCount)
        return;
    uint16_t *units = command.strArgs[index];
    std::memset(units, 0, sizeof command.strArgs[index]);
    const size_t count = std::min({text.size(), maxUnits, size_t(kStrArgUnits - 1)});
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

std::vector<uint8_t> encodeTextPayload(const std::u16string &text, bool terminated) {
    std::vector<uint8_t> bytes((text.size() + (terminated ? 1 : 0)) * 2, 0);
    for (size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return bytes;
}

bool plausiblePayload(int32_t slot, int32_t length) {
    return slot >= 0 && slot < static_cast<int32_t>(kDataSlots) && length >= 0 &&
           static_cast<uint32_t>(length) <= dataSlotCapacity(slot);
}

} // namespace KEL
