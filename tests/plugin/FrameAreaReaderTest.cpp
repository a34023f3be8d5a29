// The plugin's frame-area readers against a browser side played by this process: every value
// the plugin reads from the area, made impossible one at a time, must be refused (never handed
// out, never read past), and the area must work again with the next sound frame. Also: the
// held frame is never written, a new generation leaves the held frame readable, and the host's
// own arguments are checked.

#include "FrameArea.h"
#include "KELPlugin.h"
#include "Peer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace KEL;

namespace {

const std::u16string kView = u"hud";
const uint16_t *viewName() {
    return reinterpret_cast<const uint16_t *>(kView.c_str());
}
std::string controlName() {
    return frameControlName(viewName(), kView.size());
}

class FrameAreaReaderTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(KEL_Init());
        area = std::make_unique<FrameAreaPublisher>(controlName());
        ASSERT_TRUE(area->ready());
        ASSERT_TRUE(area->reserve(100, 50));
    }
    void TearDown() override {
        area.reset();
        KEL_Shutdown();
    }

    // Writes a sound frame of width x height (filled with `fill`) as the browser does, lets
    // `spoil` change its descriptor, and publishes it. Returns the slot written.
    int publish(int32_t width, int32_t height, uint8_t fill,
                const std::function<void(FrameSlot &)> &spoil = {}) {
        EXPECT_TRUE(area->reserve(width, height));
        const int slot = area->freeSlot();
        std::memset(area->slotPixels(slot), fill, size_t(width) * height * 4);
        FrameSlot &d = area->slotDescriptor(slot);
        d = FrameSlot{};
        d.width = width;
        d.height = height;
        d.stride = width * 4;
        d.number = ++number;
        d.changesSince = number - 1;
        d.rectCount = 1;
        d.rects[0] = FrameRect{0, 0, width, height};
        if (spoil)
            spoil(d);
        area->publish(slot, number);
        return slot;
    }
    FrameState state() const {
        const std::unique_ptr<FrameMapping> control =
            FrameMapping::open(controlName(), kFrameControlSize, kFrameControlSize);
        return unpackFrameState(reinterpret_cast<FrameControl *>(control->base())->state.load());
    }

    KelTest::SegmentEnv env;
    std::unique_ptr<FrameAreaPublisher> area;
    uint32_t number = 0;
};

struct SlotCase {
    const char *name;
    std::function<void(FrameSlot &)> spoil;
};

// Guards against sizes, strides, numbers, counts and rectangles from the other process being
// used as they come: each would let the host read outside the slot or upload garbage.
TEST_F(FrameAreaReaderTest, ImpossibleDescriptorsAreRefusedAndTheNextSoundFrameIsTaken) {
    const SlotCase cases[] = {
        {"width 0", [](FrameSlot &d) { d.width = 0; }},
        {"width -1", [](FrameSlot &d) { d.width = -1; }},
        {"width 4097", [](FrameSlot &d) { d.width = 4097; }},
        {"width INT_MIN", [](FrameSlot &d) { d.width = INT_MIN; }},
        {"height 0", [](FrameSlot &d) { d.height = 0; }},
        {"height 4097", [](FrameSlot &d) { d.height = 4097; }},
        {"height INT_MAX", [](FrameSlot &d) { d.height = INT_MAX; }},
        {"stride below a row", [](FrameSlot &d) { d.stride = d.width * 4 - 1; }},
        {"stride 0", [](FrameSlot &d) { d.stride = 0; }},
        {"stride negative", [](FrameSlot &d) { d.stride = -400; }},
        {"stride INT_MAX", [](FrameSlot &d) { d.stride = INT_MAX; }},
        {"stride x height past the slot", [](FrameSlot &d) { d.stride = 4096 * 4; }},
        {"sides past the slot", [](FrameSlot &d) { d.width = d.height = 4096, d.stride = 16384; }},
        {"number not the state's", [](FrameSlot &d) { d.number += 1; }},
        {"changesSince the frame itself", [](FrameSlot &d) { d.changesSince = d.number; }},
        {"changesSince after it", [](FrameSlot &d) { d.changesSince = UINT32_MAX; }},
        {"rectCount -2", [](FrameSlot &d) { d.rectCount = -2; }},
        {"rectCount 17", [](FrameSlot &d) { d.rectCount = 17; }},
        {"rectCount INT_MAX", [](FrameSlot &d) { d.rectCount = INT_MAX; }},
        {"rectCount INT_MIN", [](FrameSlot &d) { d.rectCount = INT_MIN; }},
        {"rect x -1", [](FrameSlot &d) { d.rects[0].x = -1; }},
        {"rect y -1", [](FrameSlot &d) { d.rects[0].y = -1; }},
        {"rect width 0", [](FrameSlot &d) { d.rects[0].width = 0; }},
        {"rect height -5", [](FrameSlot &d) { d.rects[0].height = -5; }},
        {"rect past the right edge", [](FrameSlot &d) { d.rects[0].x = 1; }},
        {"rect past the top", [](FrameSlot &d) { d.rects[0].y = 1; }},
        {"rect sum wraps",
         [](FrameSlot &d) { d.rects[0].x = INT_MAX, d.rects[0].width = INT_MAX; }},
        {"second rect bad, count 2",
         [](FrameSlot &d) {
             d.rectCount = 2, d.rects[1] = FrameRect{90, 40, 11, 10};
         }},
    };
    KEL_Frame frame{};
    for (const SlotCase &c : cases) {
        SCOPED_TRACE(c.name);
        publish(100, 50, 0x11, c.spoil);
        EXPECT_EQ(KEL_TakeFrame(viewName(), &frame), -1);
        EXPECT_EQ(state().held, kFrameNoSlot) << "a refused frame stays held";
        std::vector<uint8_t> copy(100 * 50 * 4);
        publish(100, 50, 0x22, c.spoil);
        EXPECT_EQ(KEL_CopyFrame(viewName(), copy.data(), int32_t(copy.size()), &frame), -1);
        publish(100, 50, 0x33);
        ASSERT_EQ(KEL_TakeFrame(viewName(), &frame), 1);
        EXPECT_EQ(frame.number, number);
        EXPECT_EQ(frame.width, 100);
        EXPECT_EQ(static_cast<const uint8_t *>(frame.pixels)[0], 0x33);
        KEL_ReleaseFrame(viewName());
    }
}

// A sound descriptor with the most rectangles, and rectangles that touch every edge, is taken
// whole: the checks refuse nothing that is possible.
TEST_F(FrameAreaReaderTest, EdgeValuesThatArePossibleAreAccepted) {
    publish(100, 50, 0x44, [](FrameSlot &d) {
        d.rectCount = kMaxFrameRects;
        for (int i = 0; i < kMaxFrameRects; ++i)
            d.rects[i] = FrameRect{i, 50 - 1 - i, 100 - i, 1 + i};
        d.height = 40; // the last rectangles now pass the top
    });
    KEL_Frame frame{};
    ASSERT_EQ(KEL_TakeFrame(viewName(), &frame), -1) << "rects beyond a 40-row frame";
    publish(100, 50, 0x44, [](FrameSlot &d) {
        d.rectCount = kMaxFrameRects;
        for (int i = 0; i < kMaxFrameRects; ++i)
            d.rects[i] = FrameRect{i, 50 - 1 - i, 100 - i, 1 + i};
    });
    ASSERT_EQ(KEL_TakeFrame(viewName(), &frame), 1);
    EXPECT_EQ(frame.rectCount, kMaxFrameRects);
    EXPECT_EQ(frame.rects[15].height, 16);
    publish(100, 50, 0x45, [](FrameSlot &d) { d.rectCount = -1; });
    ASSERT_EQ(KEL_TakeFrame(viewName(), &frame), 1);
    EXPECT_EQ(frame.rectCount, -1);
    EXPECT_EQ(frame.rects[0].width, 0) << "rectangles past the count are not handed out";
    EXPECT_EQ(KEL_TakeFrame(viewName(), &frame), 0) << "the same frame twice";
}

struct SegmentCase {
    const char *name;
    std::function<void(const std::string &control)> spoil;
};

// Writes a pixel segment of generation `generation` with this header (any values) and points
// the state word at it.
void forgeGeneration(const std::string &control, uint32_t generation, uint64_t size,
                     const FramePixelsHeader &header) {
    std::unique_ptr<FrameMapping> pixels =
        FrameMapping::create(framePixelsName(control, generation), size);
    ASSERT_TRUE(pixels);
    std::memcpy(pixels->base(), &header, sizeof header);
    std::unique_ptr<FrameMapping> mapping =
        FrameMapping::open(control, kFrameControlSize, kFrameControlSize);
    ASSERT_TRUE(mapping);
    auto *c = reinterpret_cast<FrameControl *>(mapping->base());
    c->state.store(packFrameState({0, kFrameNoSlot, generation, 99}));
    // The mapping goes with `pixels`; the name stays for the plugin to open.
}

FramePixelsHeader soundHeader(uint32_t generation, uint64_t slotBytes) {
    FramePixelsHeader header{};
    header.magic = kFramePixelsMagic;
    header.generation = generation;
    header.slotBytes = slotBytes;
    header.frames[0] = FrameSlot{10, 10, 40, 99, 98, -1, {}};
    return header;
}

// Guards against the segments themselves lying: a state pointing at a generation that does not
// exist, pixel headers whose sizes pass their segment, and control segments of another size,
// magic or mode. None may be mapped past its end or read as frames.
TEST_F(FrameAreaReaderTest, ImpossibleSegmentsAreRefused) {
    const uint64_t page = 4096;
    const SegmentCase cases[] = {
        {"a generation without a segment",
         [](const std::string &control) {
             std::unique_ptr<FrameMapping> mapping =
                 FrameMapping::open(control, kFrameControlSize, kFrameControlSize);
             reinterpret_cast<FrameControl *>(mapping->base())
                 ->state.store(packFrameState({0, kFrameNoSlot, 77, 5}));
         }},
        {"pixel magic wrong",
         [&](const std::string &control) {
             FramePixelsHeader h = soundHeader(50, page);
             h.magic = 0;
             forgeGeneration(control, 50, framePixelsSegmentSize(page), h);
         }},
        {"generation not the name's",
         [&](const std::string &control) {
             forgeGeneration(control, 51, framePixelsSegmentSize(page), soundHeader(52, page));
         }},
        {"slotBytes 0",
         [&](const std::string &control) {
             forgeGeneration(control, 53, framePixelsSegmentSize(page), soundHeader(53, 0));
         }},
        {"slotBytes not whole pages",
         [&](const std::string &control) {
             forgeGeneration(control, 54, framePixelsSegmentSize(2 * page),
                             soundHeader(54, page + 4));
         }},
        {"slotBytes past the largest frame",
         [&](const std::string &control) {
             forgeGeneration(control, 55, framePixelsSegmentSize(page),
                             soundHeader(55, kMaxFrameBytes + page));
         }},
        {"slotBytes past the segment",
         [&](const std::string &control) {
             forgeGeneration(control, 56, framePixelsSegmentSize(page), soundHeader(56, 2 * page));
         }},
        {"slotBytes wrapping the size",
         [&](const std::string &control) {
             forgeGeneration(control, 57, framePixelsSegmentSize(page),
                             soundHeader(57, UINT64_MAX / 3 / page * page));
         }},
    };
    KEL_Frame frame{};
    for (const SegmentCase &c : cases) {
        SCOPED_TRACE(c.name);
        c.spoil(controlName());
        EXPECT_EQ(KEL_TakeFrame(viewName(), &frame), -1);
    }
    for (uint32_t generation = 50; generation <= 57; ++generation)
        shm_unlink(("/" + framePixelsName(controlName(), generation)).c_str());
    // The browser's next generation is taken again.
    publish(300, 200, 0x55);
    ASSERT_EQ(KEL_TakeFrame(viewName(), &frame), 1);
    EXPECT_EQ(frame.width, 300);
}

// Guards against a control segment that is no frame area, has another size, or may be read by
// other users, being used.
TEST_F(FrameAreaReaderTest, ForeignControlSegmentsAreRefused) {
    const std::string control = controlName();
    const std::string path = "/dev/shm/" + control;
    const std::pair<const char *, std::function<void()>> cases[] = {
        {"magic wrong",
         [&] {
             std::unique_ptr<FrameMapping> m =
                 FrameMapping::open(control, kFrameControlSize, kFrameControlSize);
             reinterpret_cast<FrameControl *>(m->base())->magic = 0x12345678;
         }},
        {"another size", [&] { ASSERT_EQ(truncate(path.c_str(), 8192), 0); }},
        {"mode 0644", [&] { ASSERT_EQ(chmod(path.c_str(), 0644), 0); }},
    };
    KEL_Frame frame{};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        KEL_Shutdown(); // forgets the mapping, so the plugin opens the control segment anew
        ASSERT_TRUE(KEL_Init());
        area = std::make_unique<FrameAreaPublisher>(control);
        number = 0;
        publish(100, 50, 0x66);
        c.second();
        EXPECT_EQ(KEL_TakeFrame(viewName(), &frame), -1);
    }
}

// Guards against the browser painting into the frame the host holds, and against a new
// generation taking the held frame's memory away.
TEST_F(FrameAreaReaderTest, TheHeldFrameStaysUntouchedThroughFramesAndGenerations) {
    publish(100, 50, 0x01);
    KEL_Frame held{};
    ASSERT_EQ(KEL_TakeFrame(viewName(), &held), 1);
    const auto *pixels = static_cast<const uint8_t *>(held.pixels);
    for (uint8_t fill = 2; fill < 12; ++fill)
        publish(100, 50, fill);
    std::vector<uint8_t> expected(100 * 50 * 4, 0x01);
    EXPECT_EQ(std::memcmp(pixels, expected.data(), expected.size()), 0);
    // Outgrown: a new generation, the old name goes; the held frame is still readable.
    publish(1000, 800, 0x20);
    EXPECT_EQ(std::memcmp(pixels, expected.data(), expected.size()), 0);
    KEL_Frame next{};
    ASSERT_EQ(KEL_TakeFrame(viewName(), &next), 1);
    EXPECT_EQ(next.width, 1000);
    EXPECT_EQ(static_cast<const uint8_t *>(next.pixels)[1000 * 800 * 4 - 1], 0x20);
    KEL_ReleaseFrame(viewName());
    KEL_ReleaseFrame(viewName()); // twice is harmless
    EXPECT_EQ(state().held, kFrameNoSlot);
}

// Guards against the host's own arguments: names without an end or empty, null pointers, a
// copy buffer too small (refused, sized, and not counted as taken) or with padded rows.
TEST_F(FrameAreaReaderTest, HostArgumentsAreCheckedAndCopiesArePacked) {
    publish(100, 50, 0x77, [](FrameSlot &d) { d.stride = 100 * 4; });
    KEL_Frame frame{};
    std::vector<uint16_t> endless(300, 'a');
    const uint16_t empty[] = {0};
    EXPECT_EQ(KEL_TakeFrame(nullptr, &frame), -1);
    EXPECT_EQ(KEL_TakeFrame(viewName(), nullptr), -1);
    EXPECT_EQ(KEL_TakeFrame(endless.data(), &frame), -1);
    EXPECT_EQ(KEL_TakeFrame(empty, &frame), -1);
    KEL_ReleaseFrame(nullptr);
    KEL_ReleaseFrame(endless.data());
    std::vector<uint8_t> buffer(100 * 50 * 4 + 8, 0xee);
    EXPECT_EQ(KEL_CopyFrame(viewName(), nullptr, 20000, &frame), -1);
    EXPECT_EQ(KEL_CopyFrame(viewName(), buffer.data(), -1, &frame), -1);
    EXPECT_EQ(KEL_CopyFrame(viewName(), buffer.data(), 100 * 50 * 4 - 1, &frame), -1);
    EXPECT_EQ(frame.width, 100) << "a refused copy tells the size it needs";
    EXPECT_EQ(frame.height, 50);
    EXPECT_EQ(buffer[0], 0xee) << "nothing copied into a buffer too small";
    ASSERT_EQ(KEL_CopyFrame(viewName(), buffer.data(), int32_t(buffer.size()), &frame), 1);
    EXPECT_EQ(frame.pixels, buffer.data());
    EXPECT_EQ(frame.stride, 400);
    EXPECT_EQ(buffer[100 * 50 * 4 - 1], 0x77);
    EXPECT_EQ(buffer[100 * 50 * 4], 0xee) << "copied past the frame";
    EXPECT_EQ(state().held, kFrameNoSlot) << "a copy leaves nothing held";
    EXPECT_EQ(KEL_CopyFrame(viewName(), buffer.data(), int32_t(buffer.size()), &frame), 0);
}

// Guards against frame areas outliving their host: KEL_Shutdown removes what it mapped, and
// KEL_Init removes leftovers under its names, but only its own and only frame-area names.
TEST_F(FrameAreaReaderTest, ShutdownAndInitRemoveFrameAreaNames) {
    publish(100, 50, 0x01);
    KEL_Frame frame{};
    ASSERT_EQ(KEL_TakeFrame(viewName(), &frame), 1);
    const std::string control = controlName();
    const std::string pixels = framePixelsName(control, area->generation());
    struct stat info;
    KEL_Shutdown();
    EXPECT_NE(stat(("/dev/shm/" + control).c_str(), &info), 0);
    EXPECT_NE(stat(("/dev/shm/" + pixels).c_str(), &info), 0);

    // Leftovers of a browser that died: made anew, then a new KEL_Init.
    area = std::make_unique<FrameAreaPublisher>(control);
    ASSERT_TRUE(area->reserve(10, 10));
    const std::string longer = control + "0"; // another host's suffix could make such names
    std::unique_ptr<FrameMapping> other = FrameMapping::create(longer, 4096);
    ASSERT_TRUE(other);
    ASSERT_TRUE(KEL_Init());
    EXPECT_NE(stat(("/dev/shm/" + control).c_str(), &info), 0);
    EXPECT_NE(stat(("/dev/shm/" + framePixelsName(control, area->generation())).c_str(), &info), 0);
    EXPECT_EQ(stat(("/dev/shm/" + longer).c_str(), &info), 0) << "a name not of this form went";
    other->unlinkName();
}

} // namespace
