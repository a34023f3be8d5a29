#include "Records.h"

#include "CommandCodes.h"
#include "RecordText.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

namespace KEL {
namespace Host {

// ---- Text ---------------------------------------------------------------------------------

std::u16string utf16(const std::string &text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t extra = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        uint32_t cp = lead < 0x80 ? lead : (extra ? (lead & (0x3Fu >> extra)) : 0xFFFDu);
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= text.size()) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        i += extra + 1;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp));
        }
    }
    return out;
}

std::string utf8(const std::u16string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

// ---- Records ------------------------------------------------------------------------------

KEL_Command makeCommand(const char *code) {
    KEL_Command command;
    std::memset(&command, 0, sizeof command);
    std::strncpy(command.code, code, 4);
    return command;
}

std::string codeOf(const KEL_Command &command) {
    return std::string(command.code, strnlen(command.code, sizeof command.code));
}

bool hasCode(const KEL_Command &command, const char *code) {
    return std::strncmp(command.code, code, sizeof command.code) == 0;
}

void setString(KEL_Command &command, int index, const std::u16string &text) {
    if (index < 0 || index >= KEL_COMMAND_STR_ARGS)
        return;
    writeStringArg(command, index, text, KEL_COMMAND_STR_UNITS - 1);
    command.strCount = std::max(command.strCount, index + 1);
}

void setString(KEL_Command &command, int index, const std::string &utf8Text) {
    setString(command, index, utf16(utf8Text));
}

std::u16string getString(const KEL_Command &command, int index) {
    return readStringArg(command, index);
}

std::string getString8(const KEL_Command &command, int index) {
    return utf8(getString(command, index));
}

void setInt(KEL_Command &command, int index, int32_t value) {
    if (index < 0 || index >= KEL_COMMAND_INT_ARGS)
        return;
    command.intArgs[index] = value;
    command.intCount = std::max(command.intCount, index + 1);
}

namespace {

std::vector<int32_t> *g_takenSlots = nullptr;

// Payloads stored through this kit, by data slot, until a request naming the slot is posted:
// recovery must know an HTML page's text to show it again, and a payload cannot be read back
// from the data segment without freeing it. At most one entry per slot.
std::map<int32_t, std::vector<uint8_t>> g_storedPayloads;

} // namespace

bool putPayload(KEL_Command &command, int slotArg, const void *data, int32_t length) {
    const int32_t slot = KEL_AllocateAndCopy(data, length);
    setInt(command, slotArg, slot);
    setInt(command, slotArg + 1, length);
    if (slot >= 0 && data && length > 0) {
        const auto *bytes = static_cast<const uint8_t *>(data);
        g_storedPayloads[slot].assign(bytes, bytes + length);
    }
    return slot >= 0;
}

bool putText(KEL_Command &command, int slotArg, const std::u16string &text) {
    const std::vector<uint8_t> bytes = encodeTextPayload(text, true);
    if (bytes.size() > static_cast<size_t>(INT32_MAX)) {
        setInt(command, slotArg, -1);
        setInt(command, slotArg + 1, 0);
        return false;
    }
    return putPayload(command, slotArg, bytes.data(), static_cast<int32_t>(bytes.size()));
}

bool putText(KEL_Command &command, int slotArg, const std::string &utf8Text) {
    return putText(command, slotArg, utf16(utf8Text));
}

std::vector<uint8_t> takePayload(const KEL_Command &command, int slotArg) {
    if (slotArg < 0 || slotArg + 1 >= KEL_COMMAND_INT_ARGS || !namesPayload(command, slotArg))
        return {};
    const int32_t slot = command.intArgs[slotArg];
    const int32_t length = command.intArgs[slotArg + 1];
    // The pair comes from the other process: a length beyond the slot's capacity must not
    // size an allocation (a compromised browser could ask for 2 GiB).
    if (!plausiblePayload(slot, length))
        return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (!KEL_CopyAndFree(slot, bytes.data(), length))
        return {};
    if (g_takenSlots)
        g_takenSlots->push_back(slot);
    return bytes;
}

uint16_t payloadPairs(const KEL_Command &record) {
    const CodeInfo *info = findReceivedCode(record.code);
    if (!info)
        return 0;
    if (record.origin == 0 && record.result != 0)
        return info->replyPayloads;
    if (record.origin != 1 || record.result != 0)
        return 0; // a request, or the browser's own notice posted back
    if (info->intCount != kVariable)
        return info->payloads;
    // The record says how many integers it filled (INVK's 2n + 1): pairs past it name nothing.
    const int32_t filled = std::clamp(record.intCount, 0, KEL_COMMAND_INT_ARGS);
    uint16_t pairs = 0;
    for (int i = 0; i + 1 < filled; ++i) {
        if (info->payloads & (1u << i))
            pairs |= static_cast<uint16_t>(1u << i);
    }
    return pairs;
}

bool namesPayload(const KEL_Command &record, int slotArg) {
    return slotArg >= 0 && slotArg + 1 < KEL_COMMAND_INT_ARGS &&
           (payloadPairs(record) & (1u << slotArg)) != 0;
}

int freePayloads(const KEL_Command &record, const std::vector<int32_t> &alreadyTaken) {
    const uint16_t pairs = payloadPairs(record);
    int freed = 0;
    for (int i = 0; i + 1 < KEL_COMMAND_INT_ARGS; ++i) {
        const int32_t slot = record.intArgs[i];
        if (!(pairs & (1u << i)) || slot < 0 ||
            std::find(alreadyTaken.begin(), alreadyTaken.end(), slot) != alreadyTaken.end())
            continue;
        if (KEL_CopyAndFree(slot, nullptr, 0))
            ++freed;
    }
    return freed;
}

TakenSlots::TakenSlots() : m_previous(g_takenSlots) {
    g_takenSlots = &m_slots;
}

TakenSlots::~TakenSlots() {
    g_takenSlots = m_previous;
    if (m_previous)
        m_previous->insert(m_previous->end(), m_slots.begin(), m_slots.end());
}

std::optional<KEL_Command> makeLoad(const std::string &view, const std::string &address) {
    const std::u16string units = utf16(address);
    if (units.size() > kLoadAddressUnits)
        return std::nullopt;
    constexpr size_t kPart = KEL_COMMAND_STR_UNITS - 1;
    KEL_Command load = makeCommand(KEL::Code::LOAD);
    setString(load, 0, view);
    int arg = 1;
    for (size_t pos = 0; pos < units.size(); pos += kPart)
        setString(load, arg++, units.substr(pos, kPart));
    return load;
}

// The payload a request posted now refers to, if this kit stored it (forgotten either way:
// the slot is the receiver's from now on).
bool takeStoredText(const KEL_Command &command, std::u16string *text) {
    if (!hasCode(command, KEL::Code::HTML) && !hasCode(command, KEL::Code::EVJS) &&
        !hasCode(command, KEL::Code::IMES))
        return false;
    auto it = g_storedPayloads.find(command.intArgs[0]);
    if (it == g_storedPayloads.end())
        return false;
    const bool matches = command.intArgs[1] == static_cast<int32_t>(it->second.size());
    if (matches)
        *text = decodeTextPayload(it->second.data(), it->second.size());
    g_storedPayloads.erase(it);
    return matches;
}

void forgetStoredPayloads() {
    g_storedPayloads.clear();
}

std::u16string takeText(const KEL_Command &command, int slotArg) {
    const std::vector<uint8_t> bytes = takePayload(command, slotArg);
    return decodeTextPayload(bytes.data(), bytes.size());
}

} // namespace Host
} // namespace KEL
