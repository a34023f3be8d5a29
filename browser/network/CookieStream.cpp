#include "network/CookieStream.h"

namespace KEL {

namespace {

constexpr quint32 kNullByteArray = 0xFFFFFFFFu;
// Far above any cookie, well below QByteArray's limit.
constexpr qint32 kMaxEntryBytes = 1 << 30;

class ByteReader {
  public:
    ByteReader(const char *data, qint64 size) : m_data(data), m_size(data ? size : 0) {}

    bool atEnd() const { return m_position >= m_size; }
    qint64 position() const { return m_position; }
    qint64 remaining() const { return m_size - m_position; }
    void skipToEnd() { m_position = m_size; }

    bool readUInt32(quint32 *value) {
        if (remaining() < 4) {
            skipToEnd();
            return false;
        }
        const auto *bytes = reinterpret_cast<const uchar *>(m_data + m_position);
        *value = quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 |
                 quint32(bytes[3]);
        m_position += 4;
        return true;
    }

    // The length is checked against what is left before anything is allocated, and against
    // what a QByteArray can hold: past INT_MAX, int(length) would turn negative, which
    // QByteArray reads as "up to the first zero byte".
    bool readBytes(quint32 length, QByteArray *out) {
        if (qint64(length) > remaining() || length > quint32(kMaxEntryBytes)) {
            skipToEnd();
            return false;
        }
        *out = QByteArray(m_data + m_position, int(length));
        m_position += length;
        return true;
    }

  private:
    const char *m_data;
    qint64 m_size;
    qint64 m_position = 0;
};

void appendUInt32(QByteArray &out, quint32 value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

} // namespace

CookieStreamContents readCookieStream(const char *data, qint64 size) {
    CookieStreamContents contents;
    ByteReader reader(data, size < 0 ? 0 : size);
    quint32 version = 0;
    quint32 count = 0;
    if (reader.readUInt32(&version) && qint32(version) == kCookieStreamVersion &&
        reader.readUInt32(&count)) {
        for (quint32 i = 0; i < count; ++i) {
            quint32 length = 0;
            if (!reader.readUInt32(&length))
                break;
            if (length != kNullByteArray) {
                QByteArray entry;
                if (!reader.readBytes(length, &entry))
                    break;
                if (!entry.isEmpty())
                    contents.entries.append(entry);
            }
            if (reader.atEnd())
                break;
        }
    }
    contents.consumed = reader.position();
    return contents;
}

QByteArray writeCookieStream(const QList<QByteArray> &entries) {
    QByteArray out;
    appendUInt32(out, quint32(kCookieStreamVersion));
    appendUInt32(out, quint32(entries.size()));
    for (const QByteArray &entry : entries) {
        appendUInt32(out, quint32(entry.size()));
        out.append(entry);
    }
    return out;
}

} // namespace KEL
