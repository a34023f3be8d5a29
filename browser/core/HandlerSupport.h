#pragma once
// Small helpers shared by the request handlers.

#include "Command.h"

#include <QString>

#include <array>
#include <cstdint>

namespace KEL {

class EngineView;

// Text of string argument `index` (to its first zero unit, at most 256 units).
QString stringArg(const Command &command, int index);
// The view that strArgs[0] names, or null. Finding a view changes nothing: a handler whose
// request changes what the view shows calls its requestPaint() itself.
EngineView *addressedView(const Command &command);
// The text payload that intArgs[slotArg], intArgs[slotArg + 1] named, as the dispatcher took
// it. Empty for a malformed or unreadable payload, or a pair the code table does not declare.
QString takeTextArg(const Command &command, int slotArg);

// Every payload a request declares is moved out of the data buffer (its slot freed) before the
// request's handler runs, whether or not the handler uses it: a request for a view that does
// not exist must not strand its payload, or 255 of them would fill the data segment for good.
// Lives for one dispatch; handlers read the texts through takeTextArg.
class RequestPayloads {
  public:
    RequestPayloads(const Command &command, uint16_t payloadPairs);
    ~RequestPayloads();
    RequestPayloads(const RequestPayloads &) = delete;
    RequestPayloads &operator=(const RequestPayloads &) = delete;

    QString text(int slotArg) const;

  private:
    std::array<QString, kIntArgCount> m_texts;
    RequestPayloads *m_previous;
};

} // namespace KEL
