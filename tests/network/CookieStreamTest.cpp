// The cookie store's stream reader on its own: whatever bytes the file holds, it reads the
// entries that are really there and stops.

#include "network/CookieStream.h"

#include <gtest/gtest.h>

#include <random>

namespace KEL {
namespace {

QByteArray be32(quint32 value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return QByteArray(bytes, 4);
}

QByteArray entry(const QByteArray &bytes) {
    return be32(quint32(bytes.size())) + bytes;
}

CookieStreamContents read(const QByteArray &bytes) {
    return readCookieStream(bytes.constData(), bytes.size());
}

// Guards the stored layout itself: version 1, count, length-prefixed entries, big-endian.
TEST(CookieStream, WritesVersionCountAndLengthPrefixedEntries) {
    const QByteArray written = writeCookieStream({"a=1", "bb=22"});
    EXPECT_EQ(written, be32(1) + be32(2) + entry("a=1") + entry("bb=22"));
    const CookieStreamContents back = read(written);
    EXPECT_EQ(back.entries, (QList<QByteArray>{"a=1", "bb=22"}));
    EXPECT_EQ(back.consumed, written.size());
    EXPECT_TRUE(read(writeCookieStream({})).entries.isEmpty());
}

// Guards every way a file can lie: each case lists the entries that must come out.
TEST(CookieStream, ReadsOnlyWhatIsThere) {
    struct Case {
        const char *what;
        QByteArray bytes;
        QList<QByteArray> expected;
    };
    const Case cases[] = {
        {"empty input", QByteArray(), {}},
        {"version only", be32(1), {}},
        {"another version", be32(2) + be32(1) + entry("a=1"), {}},
        {"negative version", be32(0xFFFFFFFFu) + be32(1) + entry("a=1"), {}},
        {"count zero with entries behind it", be32(1) + be32(0) + entry("a=1"), {}},
        {"count larger than the entries",
         be32(1) + be32(5) + entry("a=1") + entry("b=2"),
         {"a=1", "b=2"}},
        {"huge count", be32(1) + be32(0xFFFFFFFEu) + entry("a=1"), {"a=1"}},
        {"count smaller than the entries",
         be32(1) + be32(1) + entry("a=1") + entry("b=2"),
         {"a=1"}},
        {"entry length beyond the stream",
         be32(1) + be32(2) + entry("a=1") + be32(1000) + "b=2",
         {"a=1"}},
        {"entry length near 4 GiB", be32(1) + be32(1) + be32(0xFFFFFFF0u) + "x", {}},
        {"truncated length", be32(1) + be32(2) + entry("a=1") + QByteArray("\0\0", 2), {"a=1"}},
        {"null and empty entries hold nothing",
         be32(1) + be32(3) + be32(0xFFFFFFFFu) + be32(0) + entry("c=3"),
         {"c=3"}},
    };
    for (const Case &c : cases) {
        const CookieStreamContents contents = read(c.bytes);
        EXPECT_EQ(contents.entries, c.expected) << c.what;
        EXPECT_LE(contents.consumed, c.bytes.size()) << c.what;
    }
    EXPECT_TRUE(readCookieStream(nullptr, 100).entries.isEmpty());
    EXPECT_TRUE(readCookieStream("abc", -5).entries.isEmpty());
}

// Guards against a reader that trusts lengths: random bytes behind a valid header never yield
// more entry bytes than the input holds.
TEST(CookieStream, SurvivesRandomBytes) {
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes = round % 2 ? be32(1) : QByteArray();
        const int length = int(random() % 64);
        for (int i = 0; i < length; ++i)
            bytes.append(char(random() % 4 == 0 ? 0 : random()));
        const CookieStreamContents contents = read(bytes);
        qint64 total = 0;
        for (const QByteArray &e : contents.entries)
            total += e.size() + 4;
        EXPECT_LE(total, bytes.size());
        EXPECT_LE(contents.consumed, bytes.size());
    }
}

} // namespace
} // namespace KEL
