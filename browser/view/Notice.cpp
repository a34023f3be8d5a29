#include "view/Notice.h"

#include "CommandCodes.h"
#include "RecordText.h"

namespace KEL {

std::u16string toU16(const QString &text) {
    return std::u16string(reinterpret_cast<const char16_t *>(text.utf16()),
                          static_cast<size_t>(text.size()));
}

QString fromU16(const std::u16string &text) {
    return QString::fromUtf16(text.data(), static_cast<int>(text.size()));
}

Notice::Notice(NoticeSink &sink, const char *code) : m_sink(sink) {
    const CodeInfo *info = findCode(code);
    if (!info)
        return;
    m_command.reset(newCommand(info->code, BrowserSide));
    if (!m_command)
        return;
    m_command->intCount = info->intCount == kVariable ? 0 : info->intCount;
    m_command->strCount = info->strCount == kVariable ? 0 : info->strCount;
}

Notice::~Notice() {
    if (m_posted)
        return;
    for (int i = 0; i < m_storedCount; ++i)
        m_sink.releasePayload(m_stored[i]);
}

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

Notice &Notice::storedPayload(int slotArg, const void *bytes, int32_t length) {
    if (slotArg < 0 || slotArg + 1 >= kIntArgCount ||
        m_storedCount == int(sizeof m_stored / sizeof m_stored[0]))
        return *this; // a pair the record cannot name is not stored at all
    const int32_t slot = m_sink.storePayload(bytes, length);
    if (slot >= 0)
        m_stored[m_storedCount++] = slot;
    return integer(slotArg, slot).integer(slotArg + 1, length);
}

Notice &Notice::textPayload(int slotArg, const QString &text) {
    return storedPayload(slotArg, text.utf16(), static_cast<int32_t>(text.size()) * 2);
}

Notice &Notice::bytePayload(int slotArg, const QByteArray &bytes) {
    return storedPayload(slotArg, bytes.constData(), bytes.size());
}

Notice &Notice::intCount(int32_t count) {
    if (m_command)
        m_command->intCount = count;
    return *this;
}

bool Notice::post() {
    m_posted = m_command && m_sink.postNotice(*m_command);
    return m_posted;
}

} // namespace KEL
