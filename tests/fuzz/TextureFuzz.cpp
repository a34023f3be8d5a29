// The host's texture copies (KEL_UpdateTexture) over a texture header written by a hostile
// browser, with whole-frame sides and requests as a careless host might pass them. Host buffers
// are heap blocks of exactly the size the host would supply, so a copy of one byte too many is
// caught.

#include "PluginSegments.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr int32_t kSides[] = {INT32_MIN, -1,  0,    1,    255,  256,     257,      511,
                              512,       513, 1023, 1024, 1025, 1 << 30, INT32_MAX};

int32_t side(FuzzedDataProvider &input) {
    return input.ConsumeBool() ? input.PickValueInArray(kSides) : input.ConsumeIntegral<int32_t>();
}

// What the host supplies: width x height x 4 bytes when it states sides it believes in (a
// whole frame is copied with them whatever was asked for), and for a rectangle request at
// least its area; for anything else a small block that no copy may reach.
size_t hostBufferBytes(bool fullOnly, int32_t group, int32_t width, int32_t height) {
    size_t bytes = 16;
    if (!fullOnly && (group == 0 || group == 1))
        bytes = KEL::rectAreaSize(2 * group);
    if (width >= 0 && height >= 0 && width <= 1024 && height <= 1024)
        bytes = std::max(bytes, size_t(width) * size_t(height) * 4);
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    KelFuzz::PluginSegments &segments = KelFuzz::pluginSegments();
    FuzzedDataProvider input(bytes, size);
    uint8_t *header = segments.texture + KEL::kTextureHeaderOffset;
    const std::vector<uint8_t> written = input.ConsumeBytes<uint8_t>(sizeof(KEL::TextureHeader));
    std::memset(header, 0, sizeof(KEL::TextureHeader));
    if (!written.empty())
        std::memcpy(header, written.data(), written.size());

    for (int call = 0; call < 8 && input.remaining_bytes() > 0; ++call) {
        const bool fullOnly = input.ConsumeBool();
        const int32_t group = input.ConsumeBool() ? input.ConsumeIntegralInRange<int32_t>(-1, 2)
                                                  : input.ConsumeIntegral<int32_t>();
        const int32_t index = input.ConsumeBool() ? input.ConsumeIntegralInRange<int32_t>(-1, 2)
                                                  : input.ConsumeIntegral<int32_t>();
        KEL_TextureUpdate update = {};
        update.width = side(input);
        update.height = side(input);
        update.updated = 7;
        const size_t capacity = hostBufferBytes(fullOnly, group, update.width, update.height);
        const bool noBuffer = input.ConsumeBool() && input.ConsumeBool();
        std::vector<uint8_t> pixels(noBuffer ? 0 : capacity);
        update.pixels = pixels.empty() ? nullptr : pixels.data();
        const bool wholeWaits = header[1] == 1;
        const int32_t askedWidth = update.width, askedHeight = update.height;
        KEL_UpdateTexture(fullOnly, group, index, &update);

        KEL_FUZZ_CHECK(update.updated == 0 || update.updated == 1);
        if (update.updated == 0 || wholeWaits) {
            // A whole frame keeps the host's own sides; nothing else is written back.
            KEL_FUZZ_CHECK(update.width == askedWidth && update.height == askedHeight);
            continue;
        }
        // A rectangle: the descriptor that came back names a block of its area.
        const int32_t areaSide = int32_t(KEL::rectAreaSide(2 * group + index));
        KEL_FUZZ_CHECK(!fullOnly && group >= 0 && group <= 1 && index >= 0 && index <= 1);
        KEL_FUZZ_CHECK(update.width >= 0 && update.width <= areaSide);
        KEL_FUZZ_CHECK(update.height >= 0 && update.height <= areaSide);
        KEL_FUZZ_CHECK(update.x >= -areaSide && update.x <= 1024);
        KEL_FUZZ_CHECK(update.y >= -areaSide && update.y <= 1024);
    }
    return 0;
}
