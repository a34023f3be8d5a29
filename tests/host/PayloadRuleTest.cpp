// The payload rule of the host kit, driven by the code table for every code: a received record
// gives up exactly the slots its code names for its kind (a notice's payload pairs, a reply's
// filled ones), never a slot in another pair, which may be some other request's payload.

#include "KELHost.h"
#include "View.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace KEL {
namespace Host {
namespace {

class PayloadRule : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string suffix = "_pr" + std::to_string(getpid());
        setenv("KEL_SEGMENT_SUFFIX", suffix.c_str(), 1);
        ASSERT_TRUE(KEL_Init());
    }
    void TearDown() override { KEL_Shutdown(); }

    static int32_t store() {
        const char16_t text[] = u"payload";
        return KEL_AllocateAndCopy(text, sizeof text);
    }
    static bool stillTaken(int32_t slot) {
        // Reading 0 bytes frees it too, so a taken slot is given back only once.
        return KEL_CopyAndFree(slot, nullptr, 0);
    }
};

TEST_F(PayloadRule, FreesWhatTheTableNamesForEveryCodeAndNothingElse) {
    for (const CodeInfo &info : kCodeTable) {
        // The host receives notices as they are, and requests only as replies.
        const bool notice = info.direction == Direction::Notice;
        const uint16_t named = notice ? info.payloads : info.replyPayloads;
        KEL_Command record = makeCommand(info.code);
        record.origin = notice ? 1 : 0;
        record.result = notice ? 0 : 1;
        record.intCount = info.intCount == kVariable ? KEL_COMMAND_INT_ARGS - 1 : info.intCount;
        if (hasCode(record, Code::INVK))
            record.intArgs[0] = 7;
        int32_t slots[KEL_COMMAND_INT_ARGS];
        const uint16_t pairs = info.payloads | info.replyPayloads;
        for (int i = 0; i + 1 < KEL_COMMAND_INT_ARGS; ++i) {
            slots[i] = -1;
            if (!(pairs & (1u << i)))
                continue;
            slots[i] = store();
            ASSERT_GE(slots[i], 0);
            record.intArgs[i] = slots[i];
            record.intArgs[i + 1] = 16;
        }
        EXPECT_EQ(payloadPairs(record), named) << info.code;
        freePayloads(record);
        for (int i = 0; i + 1 < KEL_COMMAND_INT_ARGS; ++i) {
            if (slots[i] < 0)
                continue;
            // A named slot is gone; any other one (a request's payload pair in its reply) is
            // still someone else's and must be there to be taken once.
            EXPECT_EQ(stillTaken(slots[i]), !(named & (1u << i)))
                << info.code << " pair at intArgs[" << i << "]";
        }
    }
}

// Bridge calls: only pairs within the record's intCount name anything, holes (slot -1) free
// nothing, and takeInvocation reads by position.
TEST_F(PayloadRule, InvocationsGoByPositionHolesIncluded) {
    KEL_Command call = makeCommand(Code::INVK);
    call.origin = 1;
    setString(call, 0, std::string("game"));
    setString(call, 1, std::string("m"));
    setString(call, 2, std::string("main"));
    const int32_t first = store(), third = store(), beyond = store();
    setInt(call, 0, 3);
    setInt(call, 1, first);
    setInt(call, 2, 16);
    setInt(call, 3, -1); // undefined in the page
    setInt(call, 4, 0);
    setInt(call, 5, third);
    setInt(call, 6, 16);
    call.intArgs[7] = beyond; // past intCount (7): not named
    call.intArgs[8] = 16;
    const Invocation invocation = takeInvocation(call);
    EXPECT_EQ(invocation.arguments, (std::vector<std::string>{"payload", "", "payload"}));
    EXPECT_EQ(invocation.view, "main");
    EXPECT_FALSE(stillTaken(first));
    EXPECT_FALSE(stillTaken(third));
    EXPECT_TRUE(stillTaken(beyond));
}

} // namespace
} // namespace Host
} // namespace KEL
