#pragma once
// Texts in command records and payloads, one set of rules for both sides. Everything here
// treats the record and the payload as untrusted bytes from the other process: no read runs
// past what was received, whatever was put there. No Qt and no segment, so the host kit, the
// browser and the fuzzers share it.

#include "Command.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KEL {

// String argument `index`, up to its first zero unit, at most the slot's 256 units (a slot
// without a zero unit yields all 256). Empty for an index outside 0..15.
std::u16string readStringArg(const Command &command, int index);

// Zero-fills string argument `index` and copies at most the first `maxUnits` units of `text`
// (never more than 255, so a zero unit always ends the slot). Ignores an index outside 0..15.
// Does not touch strCount. The browser writes at most kBrowserStrArgUnits; hosts may use 255.
void writeStringArg(Command &command, int index, const std::u16string &text,
                    size_t maxUnits = kBrowserStrArgUnits);

// A text payload as received: little-endian UTF-16 up to the first zero unit; without one, all
// complete units (an odd trailing byte is dropped).
std::u16string decodeTextPayload(const uint8_t *bytes, size_t length);

// Little-endian UTF-16 bytes of `text`, with one zero unit after it when `terminated`.
std::vector<uint8_t> encodeTextPayload(const std::u16string &text, bool terminated);

// Whether a (slot, byte length) pair read from a record can name a payload at all: a slot of
// the table and a length within that slot's fixed capacity. Checked before anything is sized
// from the length.
bool plausiblePayload(int32_t slot, int32_t length);

} // namespace KEL
