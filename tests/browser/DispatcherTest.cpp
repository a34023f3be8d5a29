// The command loop: how many records a tick takes, what is answered and how, and what happens
// to records and payloads the loop refuses or cannot read.

#include "BrowserFixture.h"

#include "CommandCodes.h"
#include <algorithm>
#include <optional>
#include <set>
#include <thread>

namespace KEL {
namespace Test {
namespace {

using Host::makeCommand;
using Host::setInt;
using Host::setString;
using Slots = std::vector<SlotView>;

class Dispatcher : public BrowserTest {
  protected:
    void SetUp() override {
        BrowserTest::SetUp();
        ASSERT_TRUE(startBrowser(true));
        m_browser.inbox().clear();
    }

    // Counts of our records in a snapshot: answered, still waiting, and present at all.
    struct Tally {
        int answered = 0;
        int waiting = 0;
        int present = 0;
    };
    static Tally tally(const Slots &slots, const std::set<uint32_t> &ours, const char *code) {
        Tally counts;
        for (const SlotView &slot : slots) {
            if (!ours.count(slot.sequence) || slot.code != code)
                continue;
            ++counts.present;
            if (slot.origin == 0 && slot.result == 0)
                ++counts.waiting;
            if (slot.origin == 0 && slot.result != 0)
                ++counts.answered;
        }
        return counts;
    }

    // Posts `batch` in one piece and watches the command segment until `finished` holds. True
    // when `betweenTicks` held steadily on the way: two looks at least 5 ms apart, with nothing
    // else seen in between. Within one tick the loop takes record after record without pause,
    // so a state that lasts is the pause between two ticks (33 ms). A look can come too late
    // when this process is descheduled, so a missed state is tried again with a fresh batch.
    bool splitsAcrossTicks(
        const std::vector<KEL_Command> &batch,
        const std::function<bool(const Slots &, const std::set<uint32_t> &)> &betweenTicks,
        const std::function<bool(const Slots &, const std::set<uint32_t> &)> &finished) {
        CommandSegment segment;
        EXPECT_TRUE(segment.isOpen());
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::vector<uint32_t> sequences = segment.postTogether(batch);
            const std::set<uint32_t> ours(sequences.begin(), sequences.end());
            std::optional<Clock::time_point> since;
            bool steady = false;
            const bool done = waitUntil(
                [&] {
                    const Slots slots = segment.snapshot();
                    if (betweenTicks(slots, ours)) {
                        if (!since)
                            since = Clock::now();
                        else if (Clock::now() - *since >= std::chrono::milliseconds(5))
                            steady = true;
                    } else {
                        since.reset();
                    }
                    return finished(slots, ours);
                },
                5000);
            EXPECT_TRUE(done) << "the batch was never fully handled";
            // Collect the replies so the next attempt starts from an empty segment.
            m_browser.spinUntil(
                [&] { return tally(segment.snapshot(), ours, KEL::Code::PING).present == 0; },
                2000);
            if (steady || !done)
                return steady;
        }
        return false;
    }

    std::vector<KEL_Command> pings(int count) {
        return std::vector<KEL_Command>(static_cast<size_t>(count), makeCommand(KEL::Code::PING));
    }

    KEL_Command evaluate(const std::string &view, const std::string &script) {
        KEL_Command command = viewCommand(KEL::Code::EVJS, view);
        EXPECT_TRUE(Host::putText(command, 0, script));
        return request(command);
    }

    // EVJS with a payload made by hand: `bytes` stored, `announced` given as its length.
    KEL_Command evaluateRaw(const std::string &view, int32_t slot, int32_t announced) {
        KEL_Command command = viewCommand(KEL::Code::EVJS, view);
        setInt(command, 0, slot);
        setInt(command, 1, announced);
        return request(command);
    }

    static int32_t store(const std::string &bytes) {
        return KEL_AllocateAndCopy(bytes.data(), static_cast<int32_t>(bytes.size()));
    }

    static std::string utf16le(const std::string &ascii) {
        std::string bytes;
        for (char c : ascii) {
            bytes.push_back(c);
            bytes.push_back('\0');
        }
        return bytes;
    }
};

// Guards the per-tick limit: eleven records are taken in one tick, the twelfth in the next.
TEST_F(Dispatcher, TakesElevenRecordsATickAndTheTwelfthInTheNext) {
    EXPECT_TRUE(splitsAcrossTicks(
        pings(12),
        [](const Slots &slots, const std::set<uint32_t> &ours) {
            const Tally t = tally(slots, ours, KEL::Code::PING);
            return t.answered == 11 && t.waiting == 1;
        },
        [](const Slots &slots, const std::set<uint32_t> &ours) {
            return tally(slots, ours, KEL::Code::PING).answered == 12;
        }));
}

// Guards the handling of our own notices posted back by the host: dropped without an answer,
// yet counted among the eleven records of the tick.
TEST_F(Dispatcher, DropsRepliesToItsOwnNoticesAndCountsThem) {
    KEL_Command postedBack = makeCommand(KEL::Code::PRUP);
    postedBack.origin = 1;
    postedBack.result = 1;
    std::vector<KEL_Command> batch = pings(11);
    batch.insert(batch.begin(), postedBack);
    EXPECT_TRUE(splitsAcrossTicks(
        batch,
        [](const Slots &slots, const std::set<uint32_t> &ours) {
            const Tally pings = tally(slots, ours, KEL::Code::PING);
            return tally(slots, ours, KEL::Code::PRUP).present == 0 && pings.answered == 10 &&
                   pings.waiting == 1;
        },
        [](const Slots &slots, const std::set<uint32_t> &ours) {
            return tally(slots, ours, KEL::Code::PING).answered == 11;
        }));
    m_browser.pump();
    EXPECT_FALSE(m_browser.take(KEL::Code::PRUP));
}

// Guards the Tab rule: a Tab key on an existing view is not answered and ends the tick, so
// the records behind it wait for the next one.
TEST_F(Dispatcher, ATabKeyOnAViewIsNotAnsweredAndEndsTheTick) {
    EXPECT_EQ(createView("tabs", 400, 300).result, 1);
    KEL_Command tab = viewCommand(KEL::Code::KEYU, "tabs");
    setInt(tab, 0, 0x01000001);
    std::vector<KEL_Command> batch = pings(11);
    batch.insert(batch.begin(), tab);
    EXPECT_TRUE(splitsAcrossTicks(
        batch,
        [](const Slots &slots, const std::set<uint32_t> &ours) {
            const Tally pings = tally(slots, ours, KEL::Code::PING);
            return tally(slots, ours, KEL::Code::KEYU).present == 0 && pings.answered == 0 &&
                   pings.waiting == 11;
        },
        [](const Slots &slots, const std::set<uint32_t> &ours) {
            return tally(slots, ours, KEL::Code::PING).answered == 11;
        }));
}

// Guards which key records count as Tab and that a Tab for a missing view is an ordinary key.
TEST_F(Dispatcher, TabPressesAndReleasesOnAViewGetNoReply) {
    EXPECT_EQ(createView("keys", 400, 300).result, 1);
    KEL_Command tabDown = viewCommand(KEL::Code::KEYD, "keys");
    setInt(tabDown, 0, 0x01000001);
    KEL_Command tabUp = viewCommand(KEL::Code::KEYU, "keys");
    setInt(tabUp, 0, 0x01000001);
    KEL_Command tabText = viewCommand(KEL::Code::KEYD, "keys");
    setInt(tabText, 0, 0);
    setString(tabText, 1, std::string("\t"));
    for (const KEL_Command &key : {tabDown, tabUp, tabText})
        ASSERT_NE(m_browser.post(key), 0u);
    EXPECT_EQ(request(makeCommand(KEL::Code::PING)).result, 1);
    EXPECT_FALSE(m_browser.take(KEL::Code::KEYD));
    EXPECT_FALSE(m_browser.take(KEL::Code::KEYU));

    KEL_Command elsewhere = viewCommand(KEL::Code::KEYU, "nowhere");
    setInt(elsewhere, 0, 0x01000001);
    EXPECT_EQ(request(elsewhere).result, 1);
}

// Guards refusal of codes outside the routing table, notices sent the wrong way and codes that
// are not terminated after four letters.
TEST_F(Dispatcher, RefusesCodesOutsideTheRoutingTable) {
    EXPECT_EQ(request(makeCommand("XXXX")).result, -1);
    EXPECT_EQ(request(makeCommand(KEL::Code::UPVW)).result, -1);
    EXPECT_EQ(request(makeCommand("ping")).result, -1);
    KEL_Command unterminated = makeCommand(KEL::Code::PING);
    unterminated.code[4] = 'X';
    EXPECT_EQ(request(unterminated).result, -1);
    EXPECT_EQ(request(makeCommand(KEL::Code::PING)).result, 1);
}

// Guards that every routed request is answered as the catalogue says, both for an existing
// view and for a name that names none.
TEST_F(Dispatcher, AnswersEveryRoutedRequest) {
    EXPECT_EQ(createView("routed", 640, 480).result, 1);
    const std::vector<const char *> answeredWithOne = {
        KEL::Code::SCRL, KEL::Code::SVCK, KEL::Code::CLCK, KEL::Code::LOAD, KEL::Code::HFWD,
        KEL::Code::HBAK, KEL::Code::SACT, KEL::Code::KEYD, KEL::Code::KEYU, KEL::Code::MPOS,
        KEL::Code::MPRS, KEL::Code::MREL, KEL::Code::MSCL, KEL::Code::SETP, KEL::Code::ADDO,
        KEL::Code::SSMR, KEL::Code::SMSK, KEL::Code::DSMR, KEL::Code::PING, KEL::Code::ALWP,
        KEL::Code::PRXY, KEL::Code::AUTH};
    for (const std::string view : {"routed", "missing"}) {
        for (const char *code : answeredWithOne) {
            KEL_Command command = viewCommand(code, view);
            setInt(command, 0, 65); // a plain key, a harmless coordinate or flag
            EXPECT_EQ(request(command).result, 1) << code << " for " << view;
        }
    }
    EXPECT_EQ(request(viewCommand(KEL::Code::RSIZ, "missing")).result, 1);
}

// Guards the data segment: a request for a view that does not exist must not strand its payload.
TEST_F(Dispatcher, FreesThePayloadOfACommandForAMissingView) {
    for (const char *code : {KEL::Code::HTML, KEL::Code::EVJS, KEL::Code::IMES}) {
        KEL_Command command = viewCommand(code, "missing");
        ASSERT_TRUE(Host::putText(command, 0, std::string("<p>dropped</p>")));
        const int32_t slot = command.intArgs[0];
        const int32_t length = command.intArgs[1];
        if (std::string(code) == KEL::Code::IMES) {
            ASSERT_NE(m_browser.post(command), 0u);
            EXPECT_EQ(request(makeCommand(KEL::Code::PING)).result, 1);
            EXPECT_FALSE(m_browser.take(KEL::Code::IMES)) << "IMES was answered";
        } else {
            const KEL_Command reply = request(command);
            EXPECT_EQ(reply.result, 1) << code;
            // The slot is no longer the host's: the reply must not name it.
            EXPECT_EQ(reply.intArgs[0], -1) << code;
            EXPECT_EQ(reply.intArgs[1], 0) << code;
        }
        std::vector<uint8_t> bytes(static_cast<size_t>(length));
        EXPECT_FALSE(KEL_CopyAndFree(slot, bytes.data(), length)) << code << " kept the payload";
    }
    // More such requests than the data segment has slots: every one still finds a free slot.
    for (int i = 0; i < 300; ++i) {
        KEL_Command command = viewCommand(KEL::Code::HTML, "missing");
        ASSERT_TRUE(Host::putText(command, 0, std::string("<p>again</p>"))) << i;
        ASSERT_EQ(request(command).result, 1);
    }
}

// Guards script evaluation: the value comes back as text in a payload of its own, and a script
// without a value gives a payload of length 0.
TEST_F(Dispatcher, EvaluatesScriptAndReturnsTheValueAsText) {
    EXPECT_EQ(createView("script", 400, 300).result, 1);
    KEL_Command number = evaluate("script", "6 * 7");
    EXPECT_EQ(number.result, 1);
    EXPECT_EQ(number.intArgs[1], 4);
    EXPECT_EQ(Host::utf8(Host::takeText(number, 0)), "42");

    KEL_Command text = evaluate("script", "'gr\xC3\xBC\xC3\x9F' + 'e'");
    EXPECT_EQ(Host::utf8(Host::takeText(text, 0)), "gr\xC3\xBC\xC3\x9F"
                                                   "e");

    KEL_Command nothing = evaluate("script", "void 0");
    EXPECT_EQ(nothing.result, 1);
    EXPECT_EQ(nothing.intArgs[1], 0);
    ASSERT_GE(nothing.intArgs[0], 0);
    EXPECT_TRUE(KEL_CopyAndFree(nothing.intArgs[0], nullptr, 0));
}

// Guards against page dialogs: with no one to answer them, an alert, confirmation or prompt
// must not stop the process (it would stop answering, and stop watching its host).
TEST_F(Dispatcher, ScriptDialogsDoNotBlockTheProcess) {
    EXPECT_EQ(createView("dialogs", 400, 300).result, 1);
    const KEL_Command reply =
        evaluate("dialogs", "alert('hello'); (confirm('sure?') ? 'yes' : 'no') + "
                            "(prompt('name?', 'x') === null ? '-' : '+')");
    EXPECT_EQ(Host::utf8(Host::takeText(reply, 0)), "no-");
    EXPECT_EQ(request(makeCommand(KEL::Code::PING)).result, 1);
    EXPECT_TRUE(waitForLog("Script alert: hello", 2000));
}

// Guards the reading of untrusted payloads: the script text never runs past the bytes
// received, needs no terminating zero, loses a trailing odd byte, and a payload that cannot be
// read is an empty script (and leaves its slot alone).
TEST_F(Dispatcher, ReadsMalformedScriptPayloadsSafely) {
    EXPECT_EQ(createView("raw", 400, 300).result, 1);
    auto valueOf = [&](const KEL_Command &reply) { return Host::utf8(Host::takeText(reply, 0)); };

    EXPECT_EQ(valueOf(evaluateRaw("raw", store(utf16le("6*7")), 6)), "42");
    EXPECT_EQ(valueOf(evaluateRaw("raw", store(utf16le("6*7") + "9"), 7)), "42");
    EXPECT_EQ(valueOf(evaluateRaw("raw", store(utf16le("1+1000")), 6)), "2");

    for (int32_t badSlot : {-1, 255, 100000}) {
        const KEL_Command reply = evaluateRaw("raw", badSlot, 6);
        EXPECT_EQ(reply.result, 1);
        EXPECT_EQ(reply.intArgs[1], 0) << "slot " << badSlot;
        KEL_CopyAndFree(reply.intArgs[0], nullptr, 0);
    }

    const std::string script = utf16le("6*7");
    const int32_t negative = store(script);
    EXPECT_EQ(evaluateRaw("raw", negative, -2).intArgs[1], 0);
    const int32_t oversized = store(script); // a small slot: 8 KiB
    EXPECT_EQ(evaluateRaw("raw", oversized, 9000).intArgs[1], 0);
    std::string back(script.size(), '\0');
    EXPECT_TRUE(KEL_CopyAndFree(negative, back.data(), 6)) << "slot freed by a bad read";
    EXPECT_TRUE(KEL_CopyAndFree(oversized, back.data(), 6)) << "slot freed by a bad read";

    const int32_t freed = store(script);
    ASSERT_TRUE(KEL_CopyAndFree(freed, back.data(), 6));
    EXPECT_EQ(evaluateRaw("raw", freed, 6).intArgs[1], 0);
}

// Guards HTML payloads: a malformed one is an empty page, not a crash, and a well-formed one
// without a terminating zero is shown whole.
TEST_F(Dispatcher, ShowsHtmlAndSurvivesMalformedHtmlPayloads) {
    EXPECT_EQ(createView("html", 400, 300).result, 1);
    for (const auto &[slot, length] :
         std::vector<std::pair<int32_t, int32_t>>{{-1, 10}, {254, -5}, {0, 0x7fffffff}, {300, 2}}) {
        KEL_Command command = viewCommand(KEL::Code::HTML, "html");
        setInt(command, 0, slot);
        setInt(command, 1, length);
        EXPECT_EQ(request(command).result, 1);
    }
    const std::string page = utf16le("<title>Shown</title><p>body</p>");
    KEL_Command command = viewCommand(KEL::Code::HTML, "html");
    setInt(command, 0, store(page));
    setInt(command, 1, static_cast<int32_t>(page.size()));
    EXPECT_EQ(request(command).result, 1);
    KEL_Command title;
    ASSERT_TRUE(waitForTitle(&title));
    EXPECT_EQ(Host::getString8(title, 0), "html");
    EXPECT_EQ(Host::getString8(title, 1), "Shown");
}

} // namespace
} // namespace Test
} // namespace KEL
