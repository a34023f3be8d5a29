#pragma once
// Small helpers shared by the request handlers.

#include "Command.h"

#include <QString>

namespace KEL {

class WebView;

// Text of string argument `index` (to its first zero unit, at most 256 units).
QString stringArg(const Command &command, int index);
// The view that strArgs[0] names, or null.
WebView *addressedView(const Command &command);
// Moves the text payload named by intArgs[slotArg], intArgs[slotArg + 1] out of the data
// buffer. Malformed or unreadable payloads give an empty text.
QString takeTextArg(const Command &command, int slotArg);

} // namespace KEL
