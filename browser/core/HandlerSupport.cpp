#include "core/HandlerSupport.h"

#include "DataBuffer.h"
#include "RecordText.h"
#include "core/EngineView.h"
#include "core/ProcessState.h"
#include "core/ViewRegistry.h"
#include "view/Notice.h"

namespace KEL {

namespace {

RequestPayloads *currentPayloads = nullptr;

} // namespace

QString stringArg(const Command &command, int index) {
    return fromU16(readStringArg(command, index));
}

EngineView *addressedView(const Command &command) {
    ViewRegistry *registry = processState.viewRegistry.get();
    return registry ? registry->findView(stringArg(command, 0)) : nullptr;
}

QString takeTextArg(const Command &, int slotArg) {
    return currentPayloads ? currentPayloads->text(slotArg) : QString();
}

RequestPayloads::RequestPayloads(const Command &command, uint16_t payloadPairs)
    : m_previous(currentPayloads) {
    currentPayloads = this;
    DataBuffer *data = processState.dataBuffer.get();
    if (!data)
        return;
    for (int slotArg = 0; slotArg + 1 < kIntArgCount; ++slotArg) {
        if (payloadPairs & (1u << slotArg))
            m_texts[slotArg] = fromU16(
                takeTextPayload(*data, command.intArgs[slotArg], command.intArgs[slotArg + 1]));
    }
}

RequestPayloads::~RequestPayloads() {
    currentPayloads = m_previous;
}

QString RequestPayloads::text(int slotArg) const {
    return slotArg >= 0 && slotArg < kIntArgCount ? m_texts[slotArg] : QString();
}

} // namespace KEL
