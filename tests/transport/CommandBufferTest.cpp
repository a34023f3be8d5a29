// The command segment between two processes: numbering, order, addressing, overrun, clearing.

#include "TransportFixture.h"

#include "CommandCodes.h"
#include <cstring>

using namespace KelTest;

namespace {

class CommandBufferTest : public TransportTest {
  protected:
    // The record the host takes next, or a record with code "none".
    KEL::Command take() {
        KEL::Command *record = commands.next();
        KEL::Command copy = makeCommand("none", -1);
        if (record) {
            copy = *record;
            free(record);
        }
        return copy;
    }
    KEL::Command withSequence(uint32_t sequence, int32_t tag) {
        KEL::Command command = makeCommand(KEL::Code::PROG, tag);
        command.sequence = sequence;
        command.origin = 1;
        return command;
    }
};

// Guards against numbers that collide with the free-slot marker 0 or the reserved 0xFFFFFFFF,
// and against two processes keeping counters of their own.
TEST_F(CommandBufferTest, NumbersAreSharedByBothSidesAndWrapToTwo) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 1);
    EXPECT_EQ(browser.post(makeCommand(KEL::Code::PROG)), 2);
    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 3);

    nextSequence() = 0xFFFFFFFD;
    EXPECT_EQ(uint32_t(post(makeCommand(KEL::Code::LOAD))), 0xFFFFFFFDu);
    // The caller gets the number its record carries even as the counter wraps, or it could
    // never match the reply.
    EXPECT_EQ(uint32_t(post(makeCommand(KEL::Code::LOAD))), 0xFFFFFFFEu);
    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 2);
    EXPECT_EQ(nextSequence(), 3u);
    const uint32_t expected[] = {1, 2, 3, 0xFFFFFFFD, 0xFFFFFFFE, 2};
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(slot(k).sequence, expected[k]) << "slot " << k;
}

// Guards against a corrupted counter handing out 0 (the free-slot marker: the record would be
// lost) or 0xFFFFFFFF: numbering starts again at 1 instead.
TEST_F(CommandBufferTest, CorruptedCounterRestartsNumberingAtOne) {
    for (uint32_t corrupt : {0u, 0xFFFFFFFFu}) {
        commands.clear();
        nextSequence() = corrupt;
        EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 1) << corrupt;
        EXPECT_EQ(slot(0).sequence, 1u) << corrupt;
        EXPECT_EQ(nextSequence(), 2u) << corrupt;
    }
}

// Guards against a re-posted record (a reply) being renumbered or consuming a number.
TEST_F(CommandBufferTest, RecordWithANumberKeepsItAndReturnsTheLastNumberGiven) {
    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 1);
    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 2);
    EXPECT_EQ(post(withSequence(5, 0)), 2);
    EXPECT_EQ(slot(2).sequence, 5u);
    EXPECT_EQ(nextSequence(), 3u);
    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 3);
}

// Guards against signed comparison and against scanning order deciding which record comes first.
TEST_F(CommandBufferTest, SmallestUnsignedNumberComesFirstAndTiesGoToTheHigherSlot) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    const uint32_t sequences[] = {7, 0x80000000, 3, 0xFFFFFFFE, 4, 4};
    for (int tag = 0; tag < 6; ++tag)
        browser.post(withSequence(sequences[tag], tag));
    browser.post(makeCommand(KEL::Code::PROG, 6)); // numbered 1

    for (int32_t tag : {6, 2, 5, 4, 0, 1, 3})
        EXPECT_EQ(take().intArgs[0], tag);
    EXPECT_STREQ(take().code, "none");
}

// Guards against a process taking back its own waiting request, or the other side's replies.
TEST_F(CommandBufferTest, RequestIsAnsweredWithItsOriginAndNumberIntact) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    KEL::Command request = makeCommand(KEL::Code::LOAD, 42);
    request.strArgs[0][0] = u'm';
    request.strCount = 1;
    int32_t number = post(request);
    ASSERT_GT(number, 0);
    EXPECT_STREQ(take().code, "none");

    std::optional<KEL::Command> received = browser.next();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->sequence, uint32_t(number));
    EXPECT_EQ(received->origin, 0u);
    EXPECT_EQ(slot(0).sequence, 0u) << "next did not free the slot";
    EXPECT_FALSE(browser.next());

    received->result = 1;
    EXPECT_EQ(browser.post(*received), number);
    EXPECT_FALSE(browser.next()) << "a reply to the host went back to the browser";
    KEL::Command reply = take();
    EXPECT_EQ(reply.sequence, uint32_t(number));
    EXPECT_EQ(reply.origin, 0u);
    EXPECT_EQ(reply.result, 1);
    EXPECT_EQ(reply.intArgs[0], 42);
    EXPECT_EQ(reply.strArgs[0][0], u'm');

    // The same cycle the other way round: the browser's notice answered by the host.
    browser.post(makeCommand(KEL::Code::INVK, 7));
    EXPECT_FALSE(browser.next());
    KEL::Command notice = take();
    EXPECT_EQ(notice.origin, 1u);
    notice.result = 1;
    post(notice);
    EXPECT_STREQ(take().code, "none");
    std::optional<KEL::Command> answer = browser.next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->intArgs[0], 7);
}

// Guards against a side that is anything but the buffer's own: both ends of one segment in this
// one process, each taking only what the other posted, with nothing switched in between.
TEST_F(CommandBufferTest, BothEndsInOneProcessTakeOnlyWhatTheOtherPosted) {
    KEL::CommandBuffer browser(KEL::BrowserSide);
    ASSERT_TRUE(browser.open(KEL::segmentName(KEL::kCommandSegmentName)));
    EXPECT_EQ(browser.side(), KEL::BrowserSide);
    EXPECT_EQ(commands.side(), KEL::HostSide);
    const struct {
        KEL::CommandBuffer &asker;
        KEL::CommandBuffer &answerer;
        KEL::Side origin;
    } directions[] = {{commands, browser, KEL::HostSide}, {browser, commands, KEL::BrowserSide}};
    for (const auto &d : directions) {
        SCOPED_TRACE(d.origin == KEL::HostSide ? "request" : "notice");
        KEL::CommandPtr record(KEL::newCommand(KEL::Code::PING, d.origin));
        ASSERT_TRUE(record);
        EXPECT_EQ(record->origin, uint32_t(d.origin));
        const int32_t number = d.asker.post(record.get());
        ASSERT_GT(number, 0);
        EXPECT_FALSE(KEL::CommandPtr(d.asker.next())) << "a side took its own record";
        KEL::CommandPtr received(d.answerer.next());
        ASSERT_TRUE(received);
        EXPECT_EQ(received->sequence, uint32_t(number));
        received->result = 1;
        ASSERT_EQ(d.answerer.post(received.get()), number);
        EXPECT_FALSE(KEL::CommandPtr(d.answerer.next())) << "a side took its own answer";
        KEL::CommandPtr answer(d.asker.next());
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->sequence, uint32_t(number));
        EXPECT_EQ(answer->result, 1);
    }
    browser.closeSegment();
}

// Guards against a full segment being overwritten, flooding the log, or staying blocked.
TEST_F(CommandBufferTest, FullSegmentRefusesThePostLogsOnceAndStaysUnchanged) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    for (uint32_t k = 0; k < commands.capacity(); ++k)
        ASSERT_EQ(post(makeCommand(KEL::Code::LOAD, int32_t(k))), int32_t(k + 1));
    std::vector<uint8_t> before(commands.base(), commands.base() + commands.size());

    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD, -1)), 0);
    EXPECT_EQ(logLines(),
              std::vector<std::string>{"CommandBuffer overrun: " + env.name("KEL_COMMANDBUFFER")});
    EXPECT_EQ(browser.post(makeCommand(KEL::Code::PROG)), 0);
    EXPECT_EQ(memcmp(before.data(), commands.base(), before.size()), 0);

    for (int k = 0; k < 1000; ++k)
        EXPECT_EQ(post(makeCommand(KEL::Code::LOAD, -1)), 0);
    EXPECT_EQ(logLines().size(), 1u);

    EXPECT_EQ(browser.next()->intArgs[0], 0);
    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD, 512)), 513);
    EXPECT_EQ(slot(0).intArgs[0], 512);
    EXPECT_EQ(logLines().back(), "CommandBuffer overrun: " + env.name("KEL_COMMANDBUFFER") +
                                     ": 1001 records refused while it was full");
}

// Guards against clearing only one direction or leaving the numbering where it was.
TEST_F(CommandBufferTest, ClearingFromEitherSideEmptiesBothDirections) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    for (bool fromBrowser : {false, true}) {
        SCOPED_TRACE(fromBrowser ? "cleared by the browser" : "cleared by the host");
        post(makeCommand(KEL::Code::LOAD));
        browser.post(makeCommand(KEL::Code::PROG));
        KEL::Command reply = *browser.next();
        reply.result = 1;
        browser.post(reply);
        post(makeCommand(KEL::Code::LOAD));

        fromBrowser ? browser.clear() : commands.clear();
        for (uint32_t k = 0; k < commands.capacity(); ++k)
            ASSERT_EQ(slot(int(k)).sequence, 0u) << "slot " << k;
        EXPECT_EQ(nextSequence(), 1u);
        EXPECT_STREQ(take().code, "none");
        EXPECT_FALSE(browser.next());
        EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 1);
        commands.clear();
    }
}

// Guards against withdrawing the wrong frame notice, or matching stale bytes in free slots.
TEST_F(CommandBufferTest, FindAndRemovePendingTakeTheLowestOccupiedMatch) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    post(makeCommand(KEL::Code::PROG, 0));
    browser.post(makeCommand(KEL::Code::UPVW, 1));
    browser.post(makeCommand(KEL::Code::UPVW, 2));
    EXPECT_EQ(browser.find(KEL::Code::PROG), 0);
    EXPECT_EQ(browser.find(KEL::Code::UPVW), 1);
    EXPECT_EQ(browser.find("UPV"), -1);
    EXPECT_EQ(browser.find(KEL::Code::LOAD), -1);

    std::vector<uint8_t> before(commands.base(), commands.base() + commands.size());
    browser.removePending(KEL::Code::LOAD);
    EXPECT_EQ(memcmp(before.data(), commands.base(), before.size()), 0);

    browser.removePending(KEL::Code::UPVW);
    EXPECT_EQ(slot(1).sequence, 0u);
    EXPECT_EQ(browser.find(KEL::Code::UPVW), 2);
    EXPECT_EQ(take().intArgs[0], 2);
    EXPECT_EQ(browser.find(KEL::Code::UPVW), -1) << "a free slot still holding the code matched";
}

// Guards against records that neither side takes: they would hold their slots until the
// segment is cleared, and 512 of them stop all traffic.
TEST_F(CommandBufferTest, RecordOfUnknownOriginIsRefusedWithOneLogLine) {
    for (uint32_t origin : {2u, 7u, 0x80000000u, 0xFFFFFFFFu}) {
        KEL::Command command = makeCommand(KEL::Code::LOAD);
        command.origin = origin;
        command.result = 1;
        EXPECT_EQ(post(command), 0) << origin;
    }
    EXPECT_EQ(slot(0).sequence, 0u);
    EXPECT_EQ(logLines().size(), 1u);
    EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 1);
}

// Guards against a hostile peer wedging the channel by writing such records straight into
// every slot: whichever side polls next frees them, and traffic resumes.
TEST_F(CommandBufferTest, EitherSidesNextDropsRecordsOfUnknownOrigin) {
    Peer browser;
    ASSERT_TRUE(browser.open());
    for (int poller = 0; poller < 2; ++poller) {
        SCOPED_TRACE(poller == 0 ? "host polls" : "browser polls");
        for (uint32_t k = 0; k < commands.capacity(); ++k) {
            slot(int(k)) = withSequence(k + 1, int32_t(k));
            slot(int(k)).origin = 2 + k;
            slot(int(k)).result = int32_t(k % 2);
        }
        EXPECT_EQ(post(makeCommand(KEL::Code::LOAD)), 0);
        if (poller == 0)
            EXPECT_EQ(take().intArgs[0], -1);
        else
            EXPECT_FALSE(browser.next());
        for (uint32_t k = 0; k < commands.capacity(); ++k)
            ASSERT_EQ(slot(int(k)).sequence, 0u) << k;
        EXPECT_NE(post(makeCommand(KEL::Code::LOAD, 42)), 0);
        auto request = browser.next();
        ASSERT_TRUE(request);
        EXPECT_EQ(request->intArgs[0], 42);
    }
}

} // namespace
