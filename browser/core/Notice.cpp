#include "core/Notice.h"

#include "CommandBuffer.h"
#include "DataBuffer.h"
#include "core/CommandText.h"
#include "core/ProcessState.h"

namespace KEL {

std::u16string toU16(const QString &text) {
    return std::u16string(reinterpret_cast<const char16_t *>(text.utf16()),
                          static_cast<size_t>(text.size()));
}

QString fromU16(const std::u16string &text) {
    return QString::fromUtf16(text.data(), static_cast<int>(text.size()));
}

Notice::Notice(const char *code) : m_command(newCommand(code)) {}

Notice::~Notice() = default;

Notice &Notice::string(int index, const QString &text) {
    if (m_command)
        writeStringArg(*m_command, index, toU16(text));
    return *this;
}

Notice &Notice::integer(int index, int32_t value) {
    if (m_command && index >= 0 && index < kIntArgCount)
        m_command->intArgs[index] = value;
    return *this;
}

Notice &Notice::textPayload(int slotArg, const QString &text) {
    int32_t length = 0;
    int32_t slot = -1;
    if (DataBuffer *data = processState.dataBuffer.get())
        slot = storeTextPayload(*data, toU16(text), &length);
    else
        length = static_cast<int32_t>(text.size()) * 2;
    return integer(slotArg, slot).integer(slotArg + 1, length);
}

Notice &Notice::bytePayload(int slotArg, const QByteArray &bytes) {
    int32_t slot = -1;
    if (DataBuffer *data = processState.dataBuffer.get())
        slot = data->allocateAndCopy(bytes.constData(), bytes.size());
    return integer(slotArg, slot).integer(slotArg + 1, bytes.size());
}

Notice &Notice::counts(int32_t intCount, int32_t strCount) {
    if (m_command) {
        m_command->intCount = intCount;
        m_command->strCount = strCount;
    }
    return *this;
}

bool Notice::post() {
    CommandBuffer *buffer = processState.commandBuffer.get();
    return m_command && buffer && buffer->post(m_command.get()) != 0;
}

} // namespace KEL
