#pragma once
// Building and posting the browser's own records (notices) to the host.
//
//     Notice(Code::TITC).string(0, name).string(1, title).counts(0, 2).post();
//
// Strings are cut to 125 units; payloads go to the data buffer and the record names them with
// two integer arguments (slot, byte length), slot -1 when no data slot was free: the notice is
// posted all the same and the host skips the payload. A notice that finds the command segment
// full is lost (the transport logs the overrun).

#include "CommandBuffer.h"

#include <QByteArray>
#include <QString>

namespace KEL {

class Notice {
  public:
    explicit Notice(const char *code);
    ~Notice();
    Notice(const Notice &) = delete;
    Notice &operator=(const Notice &) = delete;

    Notice &string(int index, const QString &text);
    Notice &integer(int index, int32_t value);
    // UTF-16 text without a terminating zero, in intArgs[slotArg], intArgs[slotArg + 1].
    Notice &textPayload(int slotArg, const QString &text);
    Notice &bytePayload(int slotArg, const QByteArray &bytes);
    // Set explicitly: the catalogue fixes them per code (IMEO carries a name with strCount 0).
    Notice &counts(int32_t intCount, int32_t strCount);
    // Posts the record; false when it could not be posted (or not even be made).
    bool post();

  private:
    CommandPtr m_command;
};

// Conversions between QString and the UTF-16 texts of the records.
std::u16string toU16(const QString &text);
QString fromU16(const std::u16string &text);

} // namespace KEL
