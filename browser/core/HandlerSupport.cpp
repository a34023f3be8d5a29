#include "core/HandlerSupport.h"

#include "DataBuffer.h"
#include "RecordText.h"
#include "core/BrowserContext.h"
#include "core/EngineView.h"
#include "core/ViewRegistry.h"
#include "view/Notice.h"

namespace KEL {

QString stringArg(const Command &command, int index) {
    return fromU16(readStringArg(command, index));
}

EngineView *Request::view() const {
    ViewRegistry *registry = context.viewRegistry.get();
    return registry ? registry->findView(stringArg(command, 0)) : nullptr;
}

RequestPayloads::RequestPayloads(DataBuffer *data, const Command &command, uint16_t payloadPairs) {
    if (!data)
        return;
    for (int slotArg = 0; slotArg + 1 < kIntArgCount; ++slotArg) {
        if (payloadPairs & (1u << slotArg))
            m_texts[slotArg] = fromU16(
                takeTextPayload(*data, command.intArgs[slotArg], command.intArgs[slotArg + 1]));
    }
}

QString RequestPayloads::text(int slotArg) const {
    return slotArg >= 0 && slotArg < kIntArgCount ? m_texts[slotArg] : QString();
}

} // namespace KEL
