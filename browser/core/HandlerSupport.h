#pragma once
// What a request handler gets: the request itself, with the context it runs in, and small
// helpers shared by the handlers.

#include "Command.h"

#include <QString>

#include <array>
#include <cstdint>

namespace KEL {

class BrowserContext;
class DataBuffer;
class EngineView;

// Text of string argument `index` (to its first zero unit, at most 256 units).
QString stringArg(const Command &command, int index);

// Every payload a request declares is moved out of the data buffer (its slot freed) before the
// request's handler runs, whether or not the handler uses it: a request for a view that does
// not exist must not strand its payload, or 255 of them would fill the data segment for good.
// Lives for one dispatch; handlers read the texts through Request::text.
class RequestPayloads {
  public:
    // Takes the pairs of `payloadPairs` out of `data`; with no data buffer every text is empty.
    RequestPayloads(DataBuffer *data, const Command &command, uint16_t payloadPairs);
    RequestPayloads(const RequestPayloads &) = delete;
    RequestPayloads &operator=(const RequestPayloads &) = delete;

    QString text(int slotArg) const;

  private:
    std::array<QString, kIntArgCount> m_texts;
};

// One request as the dispatcher hands it to its handler.
struct Request {
    BrowserContext &context;
    // The private copy of the host's record. A handler may rewrite its argument fields; the
    // loop posts that copy when the reply says so and frees it afterwards.
    Command &command;
    const RequestPayloads &payloads;

    // The view that strArgs[0] names, or null. Finding a view changes nothing: a handler whose
    // request changes what the view shows calls its requestPaint() itself.
    EngineView *view() const;
    // The text payload that intArgs[slotArg], intArgs[slotArg + 1] named, as the dispatcher
    // took it. Empty for a malformed or unreadable payload, or a pair the code table does not
    // declare.
    QString text(int slotArg) const { return payloads.text(slotArg); }
    QString string(int index) const { return stringArg(command, index); }
};

} // namespace KEL
