// The record text readers over arbitrary bytes: string arguments of a record as the other
// process left them, text payloads of any length, and (slot, length) pairs. Writing a text and
// reading it back must give the text up to its first zero unit, cut to what a slot holds.

#include "DataBuffer.h"
#include "RecordText.h"

#include "FuzzCheck.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>

namespace {

std::u16string upToZero(const std::u16string &text) {
    return text.substr(0, text.find(u'\0'));
}

void checkRecord(const uint8_t *bytes, size_t size) {
    KEL::Command record;
    std::memset(&record, 0, sizeof record);
    if (size > 0)
        std::memcpy(&record, bytes, std::min(size, sizeof record));
    for (int index = -1; index <= KEL::kStrArgCount; ++index) {
        const std::u16string text = KEL::readStringArg(record, index);
        KEL_FUZZ_CHECK(text.size() <= size_t(KEL::kStrArgUnits));
        KEL_FUZZ_CHECK(text.find(u'\0') == std::u16string::npos);
        if (index < 0 || index >= KEL::kStrArgCount)
            KEL_FUZZ_CHECK(text.empty());
    }
}

void checkPayload(const uint8_t *bytes, size_t size) {
    const std::u16string text = KEL::decodeTextPayload(bytes, size);
    KEL_FUZZ_CHECK(text.size() <= size / 2);
    KEL_FUZZ_CHECK(text.find(u'\0') == std::u16string::npos);
    KEL_FUZZ_CHECK(KEL::decodeTextPayload(nullptr, size).empty());
    for (bool terminated : {false, true}) {
        const std::vector<uint8_t> encoded = KEL::encodeTextPayload(text, terminated);
        KEL_FUZZ_CHECK(encoded.size() == (text.size() + (terminated ? 1 : 0)) * 2);
        KEL_FUZZ_CHECK(KEL::decodeTextPayload(encoded.data(), encoded.size()) == text);
    }
}

void checkWrite(FuzzedDataProvider &input) {
    KEL::Command record;
    std::memset(&record, 0xA5, sizeof record);
    const int index = input.ConsumeIntegralInRange<int32_t>(-2, 17);
    const size_t maxUnits = input.ConsumeIntegralInRange<size_t>(0, 300);
    const std::string raw = input.ConsumeRandomLengthString(700);
    std::u16string text(raw.size() / 2, u'\0');
    if (!text.empty())
        std::memcpy(text.data(), raw.data(), text.size() * 2);
    KEL::writeStringArg(record, index, text, maxUnits);
    const std::u16string back = KEL::readStringArg(record, index);
    if (index < 0 || index >= KEL::kStrArgCount) {
        KEL_FUZZ_CHECK(back.empty());
        return;
    }
    const size_t kept = std::min({text.size(), maxUnits, size_t(KEL::kStrArgUnits - 1)});
    KEL_FUZZ_CHECK(back == upToZero(text.substr(0, kept)));
}

void checkPair(FuzzedDataProvider &input) {
    const int32_t slot = input.ConsumeIntegral<int32_t>();
    const int32_t length = input.ConsumeIntegral<int32_t>();
    if (KEL::plausiblePayload(slot, length)) {
        KEL_FUZZ_CHECK(slot >= 0 && slot < KEL::kDataSlots && length >= 0);
        KEL_FUZZ_CHECK(uint32_t(length) <= KEL::dataSlotCapacity(slot));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    checkRecord(bytes, size);
    checkPayload(bytes, size);
    FuzzedDataProvider input(bytes, size);
    checkPair(input);
    checkWrite(input);
    return 0;
}
