#pragma once
// Records and their payloads for hosts, tools and tests: UTF-8 text, building and reading
// command records, storing payloads in the data segment and taking them out again, all by the
// code table (CommandCodes.h).

#include "CommandCodes.h"
#include "KELPlugin.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace KEL {
namespace Host {

// ---- Records ------------------------------------------------------------------------------

std::u16string utf16(const std::string &utf8);
std::string utf8(const std::u16string &text);

// A zeroed request with the given four-letter code.
KEL_Command makeCommand(const char *code);
// The record's code as text ("UPVW").
std::string codeOf(const KEL_Command &command);
bool hasCode(const KEL_Command &command, const char *code);

// Writes string argument `index` (zero-filled, cut to 255 units) and raises strCount to cover it.
void setString(KEL_Command &command, int index, const std::u16string &text);
void setString(KEL_Command &command, int index, const std::string &utf8Text);
// Reads string argument `index` up to its first zero unit (256 units at most).
std::u16string getString(const KEL_Command &command, int index);
std::string getString8(const KEL_Command &command, int index);
// Writes integer argument `index` and raises intCount to cover it.
void setInt(KEL_Command &command, int index, int32_t value);

// Stores bytes in the data segment and names them in intArgs[slotArg], intArgs[slotArg + 1].
// False (and slot -1) when no data slot was free.
bool putPayload(KEL_Command &command, int slotArg, const void *data, int32_t length);
// Stores UTF-16 text followed by one zero unit, as the browser expects for HTML, EVJS and IMES.
bool putText(KEL_Command &command, int slotArg, const std::u16string &text);
bool putText(KEL_Command &command, int slotArg, const std::string &utf8Text);
// Moves the payload named by intArgs[slotArg], intArgs[slotArg + 1] out of the data segment
// (frees its slot). Empty when the slot is -1 or cannot be read, and when the code table says
// this record names no payload there (a reply whose handler did not fill the pair, a pair past
// the record's intCount): such a slot is not the host's to free.
std::vector<uint8_t> takePayload(const KEL_Command &command, int slotArg);
// The payload as UTF-16 text, up to a zero unit if there is one.
std::u16string takeText(const KEL_Command &command, int slotArg);

// LOAD carries the address in strArgs[1..15], each slot holding what setString keeps (255
// units), so an address of up to this many UTF-16 units fits in one request.
constexpr size_t kLoadAddressUnits = (KEL_COMMAND_STR_ARGS - 1) * (KEL_COMMAND_STR_UNITS - 1);
// A LOAD request for `view` with the address split over as many string arguments as it needs
// (strCount 1 for an empty address). Empty when the address is longer than kLoadAddressUnits:
// a cut address would load some other page.
std::optional<KEL_Command> makeLoad(const std::string &view, const std::string &address);

// ---- Payloads a received record names, by the code table ----------------------------------
//
// A notice names the pairs of its code's payload column (for a code whose intCount the record
// gives, INVK, only pairs within that count); a reply names only the pairs its handler filled
// (the reply payload column: EVJS's value), never the request's own, which the browser has
// taken. Whoever receives a record moves each of them out once; Browser frees what its owner
// left behind.

// Bit i set: intArgs[i], intArgs[i + 1] of this received record name a payload.
uint16_t payloadPairs(const KEL_Command &record);
bool namesPayload(const KEL_Command &record, int slotArg);
// Frees every payload the record names, skipping slots in `alreadyTaken` (and slot -1).
// Returns the number of slots freed.
int freePayloads(const KEL_Command &record, const std::vector<int32_t> &alreadyTaken = {});

// Notes the slots takePayload moves out while it lives (nested ones pass theirs outwards).
class TakenSlots {
  public:
    TakenSlots();
    ~TakenSlots();
    TakenSlots(const TakenSlots &) = delete;
    TakenSlots &operator=(const TakenSlots &) = delete;
    const std::vector<int32_t> &slots() const { return m_slots; }

  private:
    std::vector<int32_t> m_slots;
    std::vector<int32_t> *m_previous;
};

// For Browser: the text of a request's payload when this kit stored it (then forgotten), and
// forgetting them all when the segments are made anew.
bool takeStoredText(const KEL_Command &request, std::u16string *text);
void forgetStoredPayloads();

} // namespace Host
} // namespace KEL
