#pragma once
// The stored form of the cookie list: a 32-bit version (1), a 32-bit entry count, then that
// many data-stream byte arrays (32-bit length, then the bytes), each one cookie's full
// Set-Cookie form. All integers big-endian.
//
// The reader is a pure function over bytes (QtCore only) because the file it reads comes from
// disk and may be anything: truncated, hand-edited or random. It trusts neither the count nor
// any length: it reads the entries that are really there and stops at the end of the bytes,
// and it never allocates more than a small multiple of the input size. A fuzz target only has
// to call readCookieStream(data, size).

#include <QByteArray>
#include <QList>

namespace KEL {

constexpr qint32 kCookieStreamVersion = 1;

struct CookieStreamContents {
    // The non-empty entries, in stream order. Empty and null entries hold no cookie and are
    // dropped here.
    QList<QByteArray> entries;
    // Bytes taken from the input; everything when an entry ran past the end.
    qint64 consumed = 0;
};

// Never fails: a wrong version gives no entries, a count larger than the entries present gives
// those present, an entry whose length runs past the end is dropped.
CookieStreamContents readCookieStream(const char *data, qint64 size);
QByteArray writeCookieStream(const QList<QByteArray> &entries);

} // namespace KEL
