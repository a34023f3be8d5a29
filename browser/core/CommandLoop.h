#pragma once
// The command loop: once per tick, takes the records the host has posted and routes each to
// its handler by code.

#include "core/Reply.h"

namespace KEL {

class BrowserContext;

// At most this many records per tick, replies to our own notices included, so a host that
// floods the segment (mouse moves) cannot make one tick long.
constexpr int kCommandsPerTick = 11;

// Handles up to kCommandsPerTick records of the context's command segment; a Tab key on a view
// ends the tick early.
void runCommandLoop(BrowserContext &context);

// Routes one record: a reply to one of our own notices is dropped, a code in no row of the
// catalogue gets -1, anything else goes to its handler.
Reply dispatchCommand(BrowserContext &context, Command &command);

} // namespace KEL
