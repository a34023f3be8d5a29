#pragma once
// Building the browser's own records (notices) and posting them through a sink.
//
//     Notice(sink, Code::TITC).string(0, name).string(1, title).post();
//
// The counts come from the code table. Strings are cut to 125 units; payloads go to the data
// buffer and the record names them with two integer arguments (slot, byte length), slot -1 when
// no data slot was free: the notice is posted all the same and the host skips the payload. A
// notice that finds the command segment full is lost (the transport logs the overrun), and so
// is one that is never posted; either way the slots it stored are freed again, since no host
// will ever hear of them and 255 such slots would fill the data segment for good.

#include "CommandBuffer.h"

#include <QByteArray>
#include <QString>

#include <string>

#include "Command.h"

namespace KEL {

// Where views, pages, text fields and bridge objects send what they have to tell the host.
// The browser's core implements it over the command and data segments; tests can record.
class NoticeSink {
  public:
    virtual ~NoticeSink() = default;
    // Posts a finished record; false when it could not be posted.
    virtual bool postNotice(const Command &command) = 0;
    // Copies bytes into a free data slot; the slot index, or -1 when none was free.
    virtual int32_t storePayload(const void *bytes, int32_t length) = 0;
    // Frees a slot storePayload filled, for a record that never went out.
    virtual void releasePayload(int32_t slot) = 0;
};

class Notice {
  public:
    Notice(NoticeSink &sink, const char *code);
    ~Notice();
    Notice(const Notice &) = delete;
    Notice &operator=(const Notice &) = delete;

    Notice &string(int index, const QString &text);
    Notice &integer(int index, int32_t value);
    // UTF-16 text without a terminating zero, in intArgs[slotArg], intArgs[slotArg + 1].
    Notice &textPayload(int slotArg, const QString &text);
    Notice &bytePayload(int slotArg, const QByteArray &bytes);
    // Only for codes whose count the table leaves to the record (INVK's 2n + 1).
    Notice &intCount(int32_t count);
    // Posts the record; false when it could not be posted (or not even be made).
    bool post();

  private:
    Notice &storedPayload(int slotArg, const void *bytes, int32_t length);

    NoticeSink &m_sink;
    CommandPtr m_command;
    // Slots this record names, freed unless it is posted (at most one per integer pair).
    int32_t m_stored[kIntArgCount / 2] = {};
    int m_storedCount = 0;
    bool m_posted = false;
};

// Conversions between QString and the UTF-16 texts of the records.
std::u16string toU16(const QString &text);
QString fromU16(const std::u16string &text);

} // namespace KEL
