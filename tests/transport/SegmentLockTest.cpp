// The segment locks against a peer that dies or stops while holding one.

#include "TransportFixture.h"

#include "CommandCodes.h"
#include <csignal>
#include <sys/wait.h>

using namespace KelTest;

namespace {

using Clock = std::chrono::steady_clock;
// The lock gives up after kLockTimeout (50 ms); this only has to tell "bounded" from "stuck".
constexpr auto kBound = std::chrono::seconds(2);

const char *baseName(Segment segment) {
    return segment == CommandSegment   ? KEL::kCommandSegmentName
           : segment == TextureSegment ? KEL::kTextureSegmentName
                                       : KEL::kDataSegmentName;
}

class SegmentLockTest : public TransportTest, public testing::WithParamInterface<Segment> {
  protected:
    KEL::SharedBuffer &buffer() {
        return GetParam() == CommandSegment   ? static_cast<KEL::SharedBuffer &>(commands)
               : GetParam() == TextureSegment ? static_cast<KEL::SharedBuffer &>(texture)
                                              : data;
    }
    // Runs one transport operation of this segment; true when it succeeded. Leaves something
    // waiting for the next call.
    bool operate() {
        switch (GetParam()) {
        case CommandSegment: {
            bool posted = post(makeCommand(KEL::Code::PING)) > 0;
            KEL::Command *record = commands.next();
            free(record);
            return posted && record;
        }
        case TextureSegment: {
            uint32_t pixel = 0;
            KEL::TextureUpdate update = {0, &pixel, 0, 0, 1, 1};
            texture.updateTexture(true, 0, 0, &update);
            return update.updated == 1;
        }
        case DataSegment: {
            uint8_t byte = 1;
            int32_t slot = data.allocateAndCopy(&byte, 1);
            return slot >= 0 && data.copyAndFree(slot, &byte, 1);
        }
        }
        return false;
    }
    // Puts one item where operate() expects it: a record for the host, a frame, a payload.
    void prepare(Peer &browser) {
        if (GetParam() == CommandSegment) {
            ASSERT_GT(browser.post(makeCommand(KEL::Code::PROG)), 0);
        } else if (GetParam() == TextureSegment) {
            KEL::TextureHeader header = {};
            header.pending = header.full = 1;
            ASSERT_TRUE(
                browser.write(TextureSegment, KEL::kTextureHeaderOffset, &header, sizeof header));
        }
    }
};

// Guards against a browser that crashes mid-operation freezing the host for ever.
TEST_P(SegmentLockTest, LockOfAKilledHolderIsTakenOverAndTheSegmentStaysUsable) {
    {
        Peer browser;
        ASSERT_TRUE(browser.open());
        prepare(browser);
        ASSERT_TRUE(browser.hold(GetParam()));
        browser.signal(SIGKILL);
        EXPECT_TRUE(WIFSIGNALED(browser.reap()));
    }
    auto start = Clock::now();
    {
        KEL::ScopedLock lock(buffer().segmentLock());
        EXPECT_TRUE(lock.locked());
    }
    EXPECT_LT(Clock::now() - start, kBound);
    EXPECT_TRUE(operate());

    Peer successor;
    ASSERT_TRUE(successor.open());
    prepare(successor);
    EXPECT_TRUE(operate());
    EXPECT_TRUE(successor.hold(GetParam()));
    EXPECT_TRUE(successor.release(GetParam()));
}

// Guards against a stopped browser stalling the host's frame: calls fail within the bound,
// say so once in the log, and work again once the browser lets go.
TEST_P(SegmentLockTest, StoppedHolderMakesOperationsFailInTimeUntilItReleases) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    prepare(browser);
    uint8_t byte = 9;
    int32_t waitingSlot = data.allocateAndCopy(&byte, 1);
    ASSERT_TRUE(browser.hold(GetParam()));
    browser.signal(SIGSTOP);

    auto start = Clock::now();
    switch (GetParam()) {
    case CommandSegment:
        EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 0);
        EXPECT_EQ(commands.next(), nullptr);
        break;
    case TextureSegment: {
        uint32_t pixel = 0;
        KEL::TextureUpdate update = {1, &pixel, 0, 0, 1, 1};
        texture.updateTexture(true, 0, 0, &update);
        EXPECT_EQ(update.updated, 0);
        texture.updateTexture(false, 1, 1, &update);
        EXPECT_EQ(update.updated, 0);
        break;
    }
    case DataSegment:
        EXPECT_EQ(data.allocateAndCopy(&byte, 1), -1);
        EXPECT_FALSE(data.copyAndFree(waitingSlot, &byte, 1));
        break;
    }
    EXPECT_LT(Clock::now() - start, 2 * kBound);
    ASSERT_EQ(logLines().size(), 1u) << "one line per stall, not one per call";
    EXPECT_NE(logLines()[0].find(env.name(baseName(GetParam()))), std::string::npos)
        << logLines()[0];

    browser.signal(SIGCONT);
    ASSERT_TRUE(browser.release(GetParam()));
    if (GetParam() == CommandSegment) {
        EXPECT_FALSE(browser.next()) << "the failed post was stored";
    }
    EXPECT_TRUE(operate());
    if (GetParam() == DataSegment) {
        EXPECT_TRUE(data.copyAndFree(waitingSlot, &byte, 1));
    }
}

INSTANTIATE_TEST_SUITE_P(EachSegment, SegmentLockTest,
                         testing::Values(CommandSegment, TextureSegment, DataSegment),
                         [](const testing::TestParamInfo<Segment> &info) {
                             return std::string(baseName(info.param) + 4);
                         });

} // namespace
