#pragma once
// Texts in command records and data-buffer payloads, as the browser process reads and writes
// them. Everything here treats the record and the payload as untrusted bytes from the host:
// no read runs past what was received, whatever the host put there. No Qt, so it is tested on
// its own.

#include "Command.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace KEL {

class DataBuffer;

// String argument `index`, up to its first zero unit, at most the slot's 256 units (a slot
// without a zero unit yields all 256). Empty for an index outside 0..15.
std::u16string readStringArg(const Command &command, int index);

// Zero-fills string argument `index` and copies at most the first 125 units of `text`: the
// browser side never writes more, so hosts may rely on finding a zero unit. Ignores an index
// outside 0..15. Does not touch strCount: each notice sets its own counts.
void writeStringArg(Command &command, int index, const std::u16string &text);

// A text payload as received: little-endian UTF-16 up to the first zero unit; without one, all
// complete units (an odd trailing byte is dropped).
std::u16string decodeTextPayload(const uint8_t *bytes, size_t length);

// Moves a text payload out of the data buffer (the slot is freed) and decodes it. A slot
// index outside the table, a negative length, a length above the slot's capacity or a slot
// that cannot be read (not in use, lock not taken) yield an empty text and leave the slot as
// it was.
std::u16string takeTextPayload(DataBuffer &buffer, int32_t slot, int32_t length);

// Stores UTF-16 text (no terminating zero) in the data buffer. Returns the slot index, or -1
// when no slot was free; `byteLength` receives 2 x the number of units either way.
int32_t storeTextPayload(DataBuffer &buffer, const std::u16string &text, int32_t *byteLength);

} // namespace KEL
