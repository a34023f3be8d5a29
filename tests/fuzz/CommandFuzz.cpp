// `next` on both sides over a command segment written by a hostile peer: any slot, any
// sequence, code, origin and result, any nextSequence. Both sides drain what is addressed to
// them; afterwards no slot may be left occupied (every record is taken by exactly one side or,
// when its origin is neither side, dropped), and each record handed out must be one addressed
// to the side that took it.

#include "PluginSegments.h"

#include <fuzzer/FuzzedDataProvider.h>

#include "CommandCodes.h"
#include <cstring>

namespace {

int g_delivered = 0;

void takeOnHostSide(const KEL_Command *record) {
    KEL_FUZZ_CHECK(record != nullptr);
    KEL_FUZZ_CHECK(record->sequence != 0);
    // A notice or request of the browser, or a reply to one of the host's own.
    KEL_FUZZ_CHECK((record->origin == 1 && record->result == 0) ||
                   (record->origin == 0 && record->result != 0));
    ++g_delivered;
}

KEL::Command &slot(uint8_t *segment, uint32_t k) {
    return *reinterpret_cast<KEL::Command *>(segment + 4 + size_t(k) * KEL::kCommandSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    KelFuzz::PluginSegments &segments = KelFuzz::pluginSegments();
    KEL_SetProcessCB(&takeOnHostSide);
    FuzzedDataProvider input(bytes, size);
    const uint32_t nextSequence = input.ConsumeIntegral<uint32_t>();
    std::memcpy(segments.commands, &nextSequence, 4);
    while (input.remaining_bytes() > 0) {
        KEL::Command &record =
            slot(segments.commands, input.ConsumeIntegralInRange<uint32_t>(0u, 511u));
        record.sequence = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint32_t>(0u, 3u)
                                              : input.ConsumeIntegral<uint32_t>();
        const std::string code = input.ConsumeBytesAsString(8);
        std::memset(record.code, 0, sizeof record.code);
        if (!code.empty())
            std::memcpy(record.code, code.data(), code.size());
        record.origin = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint32_t>(0u, 2u)
                                            : input.ConsumeIntegral<uint32_t>();
        record.result = input.ConsumeBool() ? input.ConsumeIntegralInRange<int32_t>(-1, 2)
                                            : input.ConsumeIntegral<int32_t>();
        record.intCount = input.ConsumeIntegral<int32_t>();
        record.strCount = input.ConsumeIntegral<int32_t>();
    }

    // 512 records at 11 per KEL_Update take 47 calls; a few more show that nothing is left.
    g_delivered = 0;
    for (int call = 0; call < 50; ++call)
        KEL_Update();
    KEL_FUZZ_CHECK(g_delivered <= int(KEL::kCommandSlots));

    int taken = 0;
    while (KEL::Command *record = segments.browserCommands.next()) {
        KEL_FUZZ_CHECK((record->origin == 0 && record->result == 0) ||
                       (record->origin == 1 && record->result != 0));
        std::free(record);
        KEL_FUZZ_CHECK(++taken <= int(KEL::kCommandSlots));
    }

    for (uint32_t k = 0; k < KEL::kCommandSlots; ++k)
        KEL_FUZZ_CHECK(slot(segments.commands, k).sequence == 0);

    // Posting still works on what the peer left in nextSequence, and numbers no slot 0.
    KEL_Command request = {};
    std::memcpy(request.code, KEL::Code::PING, 4);
    const int32_t posted = KEL_PostCommand(&request);
    KEL_FUZZ_CHECK(posted != 0);
    KEL::Command *ping = segments.browserCommands.next();
    KEL_FUZZ_CHECK(ping && ping->sequence != 0 &&
                   std::strncmp(ping->code, KEL::Code::PING, 8) == 0);
    std::free(ping);
    return 0;
}
