// The host's frame-area readers (KEL_TakeFrame, KEL_CopyFrame, KEL_ReleaseFrame) over a control
// block and pixel headers written by a hostile browser: any state word (slot indices,
// generation, frame number), any magic, slot size and slot descriptor (sizes, strides, frame
// numbers, rectangle counts and rectangles), a pixel segment too short for its own header, a
// control segment too short for the control block, and the state changing between calls as a
// racing browser would change it. A frame handed out must lie within a real slot (every byte of
// it is read) and describe itself truthfully; copies go into heap blocks of exactly the
// capacity the host states, so a byte written too many is caught.

#include "FrameArea.h"
#include "PluginSegments.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

const char16_t kView[] = u"fuzzed";
const char16_t kShortView[] = u"short";
const uint16_t *units(const char16_t *name) {
    return reinterpret_cast<const uint16_t *>(name);
}

// Generations 1 and 2 have real pixel segments of these slot sizes; generation 3's segment is
// shorter than a pixel header; generations 0 (no frames yet) and 4 have none.
constexpr uint64_t kSlotBytes[] = {KEL::frameSlotBytes(64, 64), KEL::frameSlotBytes(16, 16)};
constexpr uint64_t kLargestSlot = KEL::frameSlotBytes(64, 64);

struct Areas {
    std::unique_ptr<KEL::FrameMapping> control, shortControl;
    std::unique_ptr<KEL::FrameMapping> pixels[2];
    std::unique_ptr<KEL::FrameMapping> truncated;
};

std::string nameOf(const char16_t *view) {
    return KEL::frameControlName(units(view), std::char_traits<char16_t>::length(view));
}

// The names stay while the fuzzer runs, since the plugin opens the areas by name. libFuzzer
// ends without running exit handlers, on a finding as at the end of its time, so a small child
// process removes them once this one has gone, however it went (the end of a pipe tells it).
char g_names[5][256];

void removeNamesAfterUs() {
    int lifeline[2];
    if (pipe(lifeline) != 0)
        return;
    const pid_t child = fork();
    if (child == 0) {
        close(lifeline[1]);
        char byte;
        while (read(lifeline[0], &byte, 1) != 0) {
        }
        for (const char *name : g_names) {
            if (name[0])
                shm_unlink(name);
        }
        _exit(0);
    }
    close(lifeline[0]); // the write end stays open, unused, until this process ends
}

// Made once, after the plugin's own segments (whose suffix they share).
Areas &areas() {
    static Areas *made = [] {
        KelFuzz::pluginSegments();
        auto *a = new Areas;
        const std::string control = nameOf(kView);
        a->control = KEL::FrameMapping::create(control, KEL::kFrameControlSize);
        a->shortControl = KEL::FrameMapping::create(nameOf(kShortView), 64);
        for (int g = 0; g < 2; ++g)
            a->pixels[g] = KEL::FrameMapping::create(KEL::framePixelsName(control, uint32_t(g + 1)),
                                                     KEL::framePixelsSegmentSize(kSlotBytes[g]));
        a->truncated = KEL::FrameMapping::create(KEL::framePixelsName(control, 3), 100);
        if (!a->control || !a->shortControl || !a->pixels[0] || !a->pixels[1] || !a->truncated) {
            std::fprintf(stderr, "cannot make the frame areas\n");
            std::abort();
        }
        int n = 0;
        for (auto *mapping :
             {&a->control, &a->shortControl, &a->pixels[0], &a->pixels[1], &a->truncated})
            std::snprintf(g_names[n++], sizeof g_names[0], "/%s", (*mapping)->name().c_str());
        removeNamesAfterUs();
        return a;
    }();
    return *made;
}

// Each value is what a well-behaved browser writes unless the input says otherwise (a zero
// byte, or the end of the input, means "as a browser would"), so the seeds reach frames that
// are handed out and every mutation makes one value hostile at a time.
constexpr int32_t kSides[] = {INT32_MIN, -1, 0, 1, 15, 16, 17, 63, 64, 65, 4096, 4097, INT32_MAX};
constexpr uint32_t kNumbers[] = {0, 1, 2, 3, 7, 0x7fffffffu, 0xfffffffeu, 0xffffffffu};

int32_t hostileSide(FuzzedDataProvider &input) {
    return input.ConsumeBool() ? input.ConsumeIntegral<int32_t>() : input.PickValueInArray(kSides);
}

uint32_t hostileNumber(FuzzedDataProvider &input) {
    return input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>()
                               : input.PickValueInArray(kNumbers);
}

uint64_t stateWord(FuzzedDataProvider &input) {
    if (input.ConsumeBool())
        return input.ConsumeIntegral<uint64_t>();
    KEL::FrameState state;
    state.newest = input.ConsumeIntegralInRange<uint32_t>(0, 3);
    state.held = (input.ConsumeIntegralInRange<uint32_t>(0, 3) + 3) % 4; // none, by default
    state.generation = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>()
                                           : (input.ConsumeIntegralInRange<uint32_t>(0, 4) + 1) % 5;
    state.number =
        input.ConsumeBool() ? hostileNumber(input) : 1 + input.ConsumeIntegral<uint16_t>();
    return KEL::packFrameState(state);
}

KEL::FrameSlot slot(FuzzedDataProvider &input, uint32_t stateNumber) {
    KEL::FrameSlot s{};
    s.width = input.ConsumeBool() ? hostileSide(input) : input.ConsumeIntegralInRange(1, 64);
    s.height = input.ConsumeBool() ? hostileSide(input) : input.ConsumeIntegralInRange(1, 64);
    // The packed stride or a row more, else anything.
    const int64_t near = int64_t(s.width) * 4 + 4 * input.ConsumeIntegralInRange<int64_t>(0, 2);
    s.stride = !input.ConsumeBool() && near >= INT32_MIN && near <= INT32_MAX
                   ? int32_t(near)
                   : input.ConsumeIntegral<int32_t>();
    s.number = input.ConsumeBool() ? hostileNumber(input) : stateNumber;
    s.changesSince = input.ConsumeBool() ? hostileNumber(input) : stateNumber - 1;
    s.rectCount = input.ConsumeBool()
                      ? input.ConsumeIntegral<int32_t>()
                      : input.ConsumeIntegralInRange<int32_t>(-1, KEL::kMaxFrameRects);
    for (KEL::FrameRect &r : s.rects) {
        if (input.ConsumeBool()) { // anything
            r.x = input.ConsumeIntegral<int32_t>();
            r.y = input.ConsumeIntegral<int32_t>();
            r.width = input.ConsumeIntegral<int32_t>();
            r.height = input.ConsumeIntegral<int32_t>();
            continue;
        }
        // Inside the frame unless the numbers say otherwise (a few pixels past its edges).
        r.x = input.ConsumeIntegralInRange<int32_t>(0, 66);
        r.y = input.ConsumeIntegralInRange<int32_t>(0, 66);
        r.width = 1 + input.ConsumeIntegralInRange<int32_t>(0, 66);
        r.height = 1 + input.ConsumeIntegralInRange<int32_t>(0, 66);
    }
    return s;
}

void writeControl(FuzzedDataProvider &input, uint8_t *base) {
    auto *control = reinterpret_cast<KEL::FrameControl *>(base);
    control->magic =
        input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>() : KEL::kFrameControlMagic;
    control->version =
        input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>() : KEL::kFrameLayoutVersion;
    control->state.store(stateWord(input));
    control->taken.store(input.ConsumeIntegral<uint64_t>());
}

void writePixelHeader(FuzzedDataProvider &input, uint8_t *base, uint32_t generation,
                      uint64_t slotBytes, uint32_t stateNumber) {
    KEL::FramePixelsHeader header{};
    header.magic = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>() : KEL::kFramePixelsMagic;
    header.generation = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>() : generation;
    const uint64_t sizes[] = {
        0, 4096, slotBytes + 4096, KEL::kMaxFrameBytes, KEL::kMaxFrameBytes + 4096, ~uint64_t(0)};
    header.slotBytes = input.ConsumeBool() ? input.PickValueInArray(sizes) : slotBytes;
    for (KEL::FrameSlot &s : header.frames)
        s = slot(input, stateNumber);
    std::memcpy(base, &header, sizeof header);
}

// What the contract promises of a frame handed out (taken or copied).
void checkFrame(const KEL_Frame &frame) {
    KEL_FUZZ_CHECK(frame.width >= 1 && frame.width <= KEL_FRAME_MAX_SIDE);
    KEL_FUZZ_CHECK(frame.height >= 1 && frame.height <= KEL_FRAME_MAX_SIDE);
    KEL_FUZZ_CHECK(int64_t(frame.stride) >= int64_t(frame.width) * 4);
    KEL_FUZZ_CHECK(frame.pixels != nullptr);
    KEL_FUZZ_CHECK(frame.rectCount >= -1 && frame.rectCount <= KEL_FRAME_MAX_RECTS);
    for (int32_t i = 0; i < frame.rectCount; ++i) {
        const KEL_FrameRect &r = frame.rects[i];
        KEL_FUZZ_CHECK(r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0);
        KEL_FUZZ_CHECK(int64_t(r.x) + r.width <= frame.width);
        KEL_FUZZ_CHECK(int64_t(r.y) + r.height <= frame.height);
    }
}

// A frame taken without a copy lies in one real slot: it fits the largest, and every byte of it
// can be read (a pointer past the mapping faults here).
uint32_t readTakenFrame(const KEL_Frame &frame) {
    KEL_FUZZ_CHECK(uint64_t(frame.stride) * uint64_t(frame.height - 1) +
                       uint64_t(frame.width) * 4 <=
                   kLargestSlot);
    const auto *pixels = static_cast<const uint8_t *>(frame.pixels);
    uint32_t sum = 0;
    for (int32_t row = 0; row < frame.height; ++row) {
        const uint8_t *p = pixels + size_t(row) * size_t(frame.stride);
        for (int32_t i = 0; i < frame.width * 4; ++i)
            sum += p[i];
    }
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    Areas &a = areas();
    FuzzedDataProvider input(bytes, size);
    writeControl(input, a.control->base());
    const uint32_t stateNumber =
        KEL::unpackFrameState(reinterpret_cast<KEL::FrameControl *>(a.control->base())->state)
            .number;
    for (int g = 0; g < 2; ++g)
        writePixelHeader(input, a.pixels[g]->base(), uint32_t(g + 1), kSlotBytes[g], stateNumber);
    std::vector<uint8_t> shortBytes = input.ConsumeBytes<uint8_t>(64);
    shortBytes.resize(64);
    std::memset(a.truncated->base(), 0, 100);
    std::memcpy(a.truncated->base(), shortBytes.data(), 64);
    std::memcpy(a.shortControl->base(), shortBytes.data(), 64);

    volatile uint32_t sink = 0;
    for (int call = 0; call < 12 && input.remaining_bytes() > 0; ++call) {
        const uint16_t *view = units(input.ConsumeBool() ? kShortView : kView);
        switch (input.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: { // take
            KEL_Frame frame{};
            const int32_t result = KEL_TakeFrame(view, &frame);
            KEL_FUZZ_CHECK(result >= -1 && result <= 1);
            if (result == 1) {
                checkFrame(frame);
                sink = sink + readTakenFrame(frame);
            }
            break;
        }
        case 1:
            KEL_ReleaseFrame(view);
            break;
        case 2: { // copy into exactly what the host states it has
            const int32_t capacities[] = {
                -1, 0, 4, 16 * 16 * 4, 64 * 64 * 4 - 1, 64 * 64 * 4, int32_t(kLargestSlot)};
            const int32_t capacity = input.PickValueInArray(capacities);
            std::vector<uint8_t> buffer(size_t(std::max(capacity, 0)));
            KEL_Frame frame{};
            const int32_t result =
                KEL_CopyFrame(view, buffer.empty() ? nullptr : buffer.data(), capacity, &frame);
            KEL_FUZZ_CHECK(result >= -1 && result <= 1);
            if (result == 1) {
                checkFrame(frame);
                KEL_FUZZ_CHECK(frame.pixels == buffer.data());
                KEL_FUZZ_CHECK(frame.stride == frame.width * 4);
                KEL_FUZZ_CHECK(int64_t(frame.width) * frame.height * 4 <= capacity);
            }
            break;
        }
        case 3: // the browser moves on between two calls
            reinterpret_cast<KEL::FrameControl *>(a.control->base())->state.store(stateWord(input));
            break;
        case 4: { // a slot descriptor rewritten between two calls
            const int g = input.ConsumeIntegralInRange<int>(0, 1);
            auto *header = reinterpret_cast<KEL::FramePixelsHeader *>(a.pixels[g]->base());
            header->frames[input.ConsumeIntegralInRange<int>(0, 2)] = slot(input, stateNumber);
            break;
        }
        case 5: { // careless hosts
            KEL_Frame frame{};
            KEL_FUZZ_CHECK(KEL_TakeFrame(nullptr, &frame) == -1);
            KEL_FUZZ_CHECK(KEL_TakeFrame(view, nullptr) == -1);
            KEL_FUZZ_CHECK(KEL_CopyFrame(view, nullptr, 16, nullptr) == -1);
            KEL_ReleaseFrame(nullptr);
            break;
        }
        }
    }
    // Nothing stays held into the next input, whose headers differ.
    KEL_ReleaseFrame(units(kView));
    KEL_ReleaseFrame(units(kShortView));
    return 0;
}
