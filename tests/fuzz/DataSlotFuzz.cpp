// Payload reads over a slot table written by a hostile peer: the host's KEL_CopyAndFree and
// KEL_AllocateAndCopy, and the browser's takeTextPayload, with slot indices and lengths as they
// arrive in records. Destinations are heap blocks of exactly the length the caller trusts.

#include "PluginSegments.h"
#include "RecordText.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

namespace {

constexpr int32_t kLengths[] = {INT32_MIN, -1,    0,       1,       2,       8191,    8192,
                                8193,      16384, 1048575, 1048576, 1048577, 1 << 30, INT32_MAX};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    KelFuzz::PluginSegments &segments = KelFuzz::pluginSegments();
    FuzzedDataProvider input(bytes, size);
    const std::vector<uint8_t> table = input.ConsumeBytes<uint8_t>(KEL::kDataTableSize);
    if (!table.empty())
        std::memcpy(segments.data, table.data(), table.size());

    while (input.remaining_bytes() > 0) {
        const int op = input.ConsumeIntegralInRange<int32_t>(0, 2);
        const int32_t slot = input.ConsumeBool() ? input.ConsumeIntegralInRange<int32_t>(-2, 256)
                                                 : input.ConsumeIntegral<int32_t>();
        const int32_t length = input.ConsumeBool()
                                   ? input.PickValueInArray(kLengths)
                                   : input.ConsumeIntegralInRange<int32_t>(-4, 70000);
        const bool sane = length >= 0 && length <= (1 << 21);
        std::vector<uint8_t> block(sane ? size_t(length) : 8);
        if (op == 0) {
            const bool taken = KEL_CopyAndFree(slot, block.data(), length);
            KEL_FUZZ_CHECK(!taken || KEL::plausiblePayload(slot, length));
        } else if (op == 1) {
            const int32_t stored = KEL_AllocateAndCopy(block.data(), sane ? length : 8);
            KEL_FUZZ_CHECK(stored >= -1 && stored < KEL::kDataSlots);
            KEL_FUZZ_CHECK(stored == -1 ||
                           KEL::dataSlotCapacity(stored) >= uint32_t(sane ? length : 8));
        } else {
            // Lies in the other process: the browser's own mapping of the same segment.
            const std::u16string text = KEL::takeTextPayload(segments.browserData, slot, length);
            KEL_FUZZ_CHECK(text.size() * 2 <= size_t(length < 0 ? 0 : length));
        }
    }
    return 0;
}
