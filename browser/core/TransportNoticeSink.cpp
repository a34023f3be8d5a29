#include "core/TransportNoticeSink.h"

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "core/BrowserContext.h"

namespace KEL {

bool TransportNoticeSink::postNotice(const Command &command) {
    CommandBuffer *buffer = m_context.commandBuffer.get();
    return buffer && buffer->post(&command) != 0;
}

int32_t TransportNoticeSink::storePayload(const void *bytes, int32_t length) {
    DataBuffer *data = m_context.dataBuffer.get();
    return data ? data->allocateAndCopy(bytes, length) : -1;
}

void TransportNoticeSink::releasePayload(int32_t slot) {
    if (DataBuffer *data = m_context.dataBuffer.get())
        data->copyAndFree(slot, nullptr, 0);
}

} // namespace KEL
