// What recovery restores (Session) and when it calls a browser hung (Liveness), without a
// browser.

#include "Session.h"
#include "KELHost.h"
#include "Recovery.h"

#include <gtest/gtest.h>

#include "CommandCodes.h"
#include <string>
#include <vector>

namespace KEL {
namespace Host {
namespace {

KEL_Command request(const char *code, std::vector<std::string> strings,
                    std::vector<int32_t> ints = {}) {
    KEL_Command command = makeCommand(code);
    for (size_t i = 0; i < strings.size(); ++i)
        setString(command, static_cast<int>(i), strings[i]);
    for (size_t i = 0; i < ints.size(); ++i)
        setInt(command, static_cast<int>(i), ints[i]);
    return command;
}

// "CODE s0 s1 .. | i0 i1 .. [html]" for each record.
std::vector<std::string> render(const std::vector<ReplayRecord> &records) {
    std::vector<std::string> out;
    for (const ReplayRecord &r : records) {
        std::string line = codeOf(r.record);
        for (int i = 0; i < r.record.strCount; ++i)
            line += " " + getString8(r.record, i);
        line += " |";
        for (int i = 0; i < r.record.intCount; ++i)
            line += " " + std::to_string(r.record.intArgs[i]);
        if (r.html)
            line += " [" + utf8(*r.html) + "]";
        EXPECT_EQ(r.record.sequence, 0u);
        EXPECT_EQ(r.record.result, 0);
        out.push_back(line);
    }
    return out;
}

// Guards the restored state: the latest value of every setting, views in creation order with
// their last size, flags, frame rate and content (the rate straight after the view, so no frame
// goes to the texture segment), and nothing for refused or removed views.
TEST(Session, ReplayRebuildsTheLatestStateInAnOrderPagesCanUse) {
    Session session;
    const std::u16string pageB = u"<p>b</p>";
    KEL_Command sequenced = request(KEL::Code::ALWP, {}, {0});
    sequenced.sequence = 41;
    sequenced.result = 1;
    const std::vector<KEL_Command> posted = {
        request(KEL::Code::CRVW, {"a"}, {300, 200, 1}),
        request(KEL::Code::CRVW, {"b"}, {128, 128, 0}),
        request(KEL::Code::CRVW, {"a"}, {999, 999, 0}), // refused by the browser: name exists
        request(KEL::Code::CRVW, {"gone"}, {128, 128, 0}),
        request(KEL::Code::RMVW, {"gone"}),
        request(KEL::Code::RSIZ, {"a"}, {512, 256}),
        request(KEL::Code::SSMR, {"a"}, {0}),
        request(KEL::Code::SMSK, {"b"}, {1}),
        request(KEL::Code::SACT, {"b"}, {0}),
        request(KEL::Code::RATE, {"b"}, {60, 100}),
        request(KEL::Code::RATE, {"b"}, {30, 150}), // the latest values win
        request(KEL::Code::RATE, {"b"}, {61, 100}), // refused by the browser: rate
        request(KEL::Code::RATE, {"b"}, {30, 120}), // refused: scale
        request(KEL::Code::RATE, {"a"}, {-1, 100}), // refused: a stays on the texture path
        request(KEL::Code::RATE, {"gone"}, {60, 200}),
        request(KEL::Code::HTML, {"a"}, {3, 10}), // text unknown, then replaced by LOAD
        request(KEL::Code::LOAD, {"a", "http://example.invalid/", "long/path"}),
        request(KEL::Code::LOAD, {"b", "http://old.invalid/"}), // replaced by HTML
        request(KEL::Code::LOAD, {"nosuchview", "http://x.invalid/"}),
        sequenced,
        request(KEL::Code::ALWP, {}, {1}),
        request(KEL::Code::PRXY, {"proxy.invalid"}, {1080}),
        request(KEL::Code::AUTH, {"user", "secret"}),
        request(KEL::Code::SETP, {"game", "level", "6"}), // creates "game"
        request(KEL::Code::ADDO, {"hud", "http://a.invalid *"}),
        request(KEL::Code::ADDO, {"game"}),
        request(KEL::Code::SETP, {"game", "level", "7"}),
        request(KEL::Code::MPOS, {"a"}, {5, 5}),
    };
    for (const KEL_Command &command : posted)
        session.observe(command);
    session.observe(request(KEL::Code::HTML, {"b"}, {4, 18}), &pageB);

    const std::vector<std::string> expected = {
        "ALWP | 1",
        "PRXY proxy.invalid | 1080",
        "AUTH user secret |",
        "ADDO game |",
        "ADDO hud http://a.invalid * |",
        "SETP game level 7 |",
        "CRVW a | 512 256 0",
        "LOAD a http://example.invalid/ long/path |",
        "CRVW b | 128 128 0",
        "RATE b | 30 150",
        "SMSK b | 1",
        "SACT b | 0",
        "HTML b | [<p>b</p>]",
    };
    EXPECT_EQ(render(session.replay()), expected);
    EXPECT_EQ(session.viewNames(), (std::vector<std::string>{"a", "b"}));

    // Without pages (the crash-loop rule) the views keep everything but their content.
    std::vector<std::string> blank;
    for (const std::string &line : expected) {
        if (line.rfind(KEL::Code::LOAD, 0) != 0 && line.rfind(KEL::Code::HTML, 0) != 0)
            blank.push_back(line);
    }
    EXPECT_EQ(render(session.replay(false)), blank);

    // HTML whose text the kit never saw leaves the view empty rather than showing stale text.
    session.observe(request(KEL::Code::HTML, {"b"}, {5, 8}));
    EXPECT_TRUE(session.view(u"b")->htmlUnknown);
    EXPECT_EQ(render(session.replay()).back(), "SACT b | 0");
}

// Guards the hang rule: an unanswered PING (posted or not) for the hang time is a hang, an
// answer or a host that stalled (did not pump) is not.
TEST(Liveness, APingUnansweredForTheHangTimeWhileTheHostPumpsIsAHang) {
    using namespace std::chrono;
    using Clock = Liveness::Clock;
    const Clock::time_point t0 = Clock::now();
    auto at = [&](int ms) { return t0 + milliseconds(ms); };
    struct Case {
        const char *name;
        uint32_t sequence;      // of the PING as posted (0: the segment was full)
        int answeredAt;         // -1: never
        int stallFrom, stallTo; // the host pumps every 100 ms up to 4000 but not in between
        bool hungAtEnd;
    };
    const Case cases[] = {
        {"unanswered", 7, -1, 0, 0, true},
        {"answered in time", 7, 3500, 0, 0, false},
        {"never posted", 0, -1, 0, 0, true},
        {"host stalled", 7, -1, 1500, 3500, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Liveness liveness(milliseconds(1000), milliseconds(3000));
        liveness.reset(t0);
        for (int ms = 100; ms <= 4000; ms += 100) {
            if (ms > c.stallFrom && ms < c.stallTo)
                continue;
            liveness.pumped(at(ms));
            EXPECT_EQ(liveness.pingDue(at(ms)),
                      ms == 1000 || (ms > 1000 && c.sequence == 0 && c.answeredAt < 0))
                << ms; // due after one interval; a PING that could not be posted is retried
            if (ms == 1000) {
                liveness.pinged(c.sequence, at(ms));
                EXPECT_FALSE(liveness.answered(c.sequence + 1, at(ms)));
            }
            if (ms == c.answeredAt) {
                EXPECT_TRUE(liveness.answered(c.sequence, at(ms)));
            }
        }
        EXPECT_EQ(liveness.hung(at(4000)), c.hungAtEnd);
    }
}

} // namespace
} // namespace Host
} // namespace KEL
