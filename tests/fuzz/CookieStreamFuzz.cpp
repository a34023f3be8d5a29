// The cookie store reader over arbitrary file contents. What it reads must be what is there:
// never more bytes than given, and the entries it returns, written again, read back the same.

#include "FuzzCheck.h"
#include "network/CookieStream.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    const auto *data = reinterpret_cast<const char *>(bytes);
    const KEL::CookieStreamContents contents = KEL::readCookieStream(data, qint64(size));
    KEL_FUZZ_CHECK(contents.consumed >= 0 && contents.consumed <= qint64(size));
    qint64 entryBytes = 0;
    for (const QByteArray &entry : contents.entries) {
        KEL_FUZZ_CHECK(!entry.isEmpty());
        entryBytes += entry.size();
    }
    KEL_FUZZ_CHECK(entryBytes <= qint64(size));

    const QByteArray again = KEL::writeCookieStream(contents.entries);
    const KEL::CookieStreamContents reread = KEL::readCookieStream(again.constData(), again.size());
    KEL_FUZZ_CHECK(reread.entries == contents.entries);
    KEL_FUZZ_CHECK(reread.consumed == again.size());
    KEL_FUZZ_CHECK(KEL::readCookieStream(nullptr, qint64(size)).entries.isEmpty());
    KEL_FUZZ_CHECK(KEL::readCookieStream(data, -qint64(size) - 1).entries.isEmpty());
    return 0;
}
