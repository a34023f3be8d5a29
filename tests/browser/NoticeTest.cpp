// The browser's notices and their payload slots: a notice that never goes out (the command
// segment is full, or it is dropped unposted) frees the slots it filled, since no host will
// ever hear of them; one that goes out leaves them to the host.

#include "view/Notice.h"
#include "CommandCodes.h"

#include <gtest/gtest.h>

#include <vector>

namespace KEL {
namespace {

class RecordingSink : public NoticeSink {
  public:
    bool accept = true;
    int32_t nextSlot = 10;
    bool slotsLeft = true;
    std::vector<int32_t> released;
    int posted = 0;

    bool postNotice(const Command &) override {
        posted += accept ? 1 : 0;
        return accept;
    }
    int32_t storePayload(const void *, int32_t) override { return slotsLeft ? nextSlot++ : -1; }
    void releasePayload(int32_t slot) override { released.push_back(slot); }
};

TEST(Notice, FreesItsSlotsOnlyWhenItNeverGoesOut) {
    struct Case {
        const char *name;
        bool accept, post, slotsLeft;
        std::vector<int32_t> released;
    };
    const Case cases[] = {
        {"posted", true, true, true, {}},
        {"segment full", false, true, true, {10, 11}},
        {"never posted", true, false, true, {10, 11}},
        {"no data slot free", false, true, false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RecordingSink sink;
        sink.accept = c.accept;
        sink.slotsLeft = c.slotsLeft;
        {
            Notice notice(sink, Code::JLOG);
            notice.textPayload(0, QStringLiteral("message")).textPayload(3, QStringLiteral("src"));
            notice.textPayload(15, QStringLiteral("no pair here")); // not stored at all
            if (c.post) {
                EXPECT_EQ(notice.post(), c.accept);
            }
        }
        EXPECT_EQ(sink.released, c.released);
    }
}

} // namespace
} // namespace KEL
